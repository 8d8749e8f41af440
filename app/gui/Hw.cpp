#include "app/gui/Hw.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace zv {

QString AboutText() {
    // The window's own text, written in this file as UTF-8 (Czech needs letters outside
    // Latin-1); it never passes through the component set's 8-bit text.
    return QString::fromUtf8(
        "Zelvator\n"
        "Zavaděč programů do simulátoru mikropočítače řady 8051 "
        "po sériové lince RS-232.\n"
        "\n"
        "Autor: autor projektu Zelvator.\n"
        "Simulátor: deska simulátoru 8051 z projektu Zelvator; "
        "RTS volí režim, DTR desku nuluje.\n"
        "Vývojové nástroje: překladač jazyka C pro 8051 a překladač jazyka C++.\n"
        "Sériová komunikace: vlastní knihovna komponent projektu Zelvator "
        "pro sériový port.\n"
        "\n"
        "Program smíte volně používat a šířit dál. "
        "Je poskytován tak, jak je, bez jakékoli záruky.\n");
}

TForm2::TForm2(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(QStringLiteral("Zelvator - About"));
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setPlainText(AboutText());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Memo1);
    // A dialog border: fixed size, at its design position.
    setFixedSize(298, 162);
    move(191, 213);
}

} // namespace zv
