#include "terminal/qt/TermSetup.h"

#include "terminal/qt/ComTerminal.h"
#include "toolkit/qt/ModalRunner.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>

namespace zv {

namespace {

// The integer in Edit, or Default when its text is not one (empty, letters, out of range).
int numberOr(const QLineEdit* Edit, int Default) {
    bool ok = false;
    const int value = Edit->text().trimmed().toInt(&ok, 10);
    return ok ? value : Default;
}

} // namespace

TComTrmSetForm::TComTrmSetForm(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(QStringLiteral("Setup"));

    GroupBox1 = new QGroupBox(QStringLiteral(" ASCII Settings "), this);
    CheckBox1 = new QCheckBox(QStringLiteral("Echo typed charachters locally"), GroupBox1);
    CheckBox2 = new QCheckBox(QStringLiteral("Send line feeds with carriage return"), GroupBox1);
    CheckBox3 = new QCheckBox(QStringLiteral("Wrap lines that exceed terminal width"), GroupBox1);
    CheckBox4 = new QCheckBox(QStringLiteral("Force incoming data to 7 bit ASCII"), GroupBox1);
    CheckBox5 =
        new QCheckBox(QStringLiteral("Append line feeds to incoming carriage return"), GroupBox1);
    auto* ascii = new QVBoxLayout(GroupBox1);
    for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3, CheckBox4, CheckBox5})
        ascii->addWidget(box);

    GroupBox2 = new QGroupBox(QStringLiteral(" Terminal Settings "), this);
    Label1 = new QLabel(QStringLiteral("Caret"), GroupBox2);
    Label2 = new QLabel(QStringLiteral("Emulation"), GroupBox2);
    Label3 = new QLabel(QStringLiteral("Columns"), GroupBox2);
    Label4 = new QLabel(QStringLiteral("Rows"), GroupBox2);
    Label5 = new QLabel(QStringLiteral("Cursor keys"), GroupBox2);
    // Items in the order of the enumerations: an item's position is the value's ordinal.
    ComboBox1 = new QComboBox(GroupBox2);
    ComboBox1->addItems({QStringLiteral("Block"), QStringLiteral("Underline")});
    ComboBox2 = new QComboBox(GroupBox2);
    ComboBox2->addItems(
        {QStringLiteral("ANSI/VT100"), QStringLiteral("VT52"), QStringLiteral("None")});
    ComboBox3 = new QComboBox(GroupBox2);
    ComboBox3->addItems(
        {QStringLiteral("Act as terminal keys"), QStringLiteral("Act as windows keys")});
    Edit1 = new QLineEdit(GroupBox2);
    Edit2 = new QLineEdit(GroupBox2);
    for (QLineEdit* edit : {Edit1, Edit2})
        edit->setMaximumWidth(49 * 2);
    Label1->setBuddy(ComboBox1);
    Label2->setBuddy(ComboBox2);
    Label3->setBuddy(Edit1);
    Label4->setBuddy(Edit2);
    Label5->setBuddy(ComboBox3);
    auto* grid = new QGridLayout(GroupBox2);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(ComboBox1, 0, 1);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(ComboBox2, 1, 1);
    grid->addWidget(Label3, 2, 0);
    grid->addWidget(Edit1, 2, 1);
    grid->addWidget(Label4, 2, 2);
    grid->addWidget(Edit2, 2, 3);
    grid->addWidget(Label5, 3, 0);
    grid->addWidget(ComboBox3, 3, 1, 1, 3);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    for (QPushButton* button : {Button1, Button2})
        button->setMinimumSize(75, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addWidget(GroupBox2);
    layout->addLayout(buttons);

    setTabOrder(CheckBox1, CheckBox2);
    setTabOrder(CheckBox2, CheckBox3);
    setTabOrder(CheckBox3, CheckBox4);
    setTabOrder(CheckBox4, CheckBox5);
    setTabOrder(CheckBox5, ComboBox1);
    setTabOrder(ComboBox1, ComboBox2);
    setTabOrder(ComboBox2, ComboBox3);
    setTabOrder(ComboBox3, Edit1);
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, Button1);
    setTabOrder(Button1, Button2);
    // A fixed dialog border: the size the layout asks for, no resizing.
    setFixedSize(sizeHint());
}

void EditComTerminal(TCustomComTerminal* Terminal) {
    if (Terminal == nullptr)
        return;
    // Created for one use, without an owner; destroyed on every path.
    auto dialog = std::make_unique<TComTrmSetForm>();
    dialog->CheckBox1->setChecked(Terminal->LocalEcho);
    dialog->CheckBox2->setChecked(Terminal->SendLF);
    dialog->CheckBox3->setChecked(Terminal->WrapLines);
    dialog->CheckBox4->setChecked(Terminal->Force7Bit);
    dialog->CheckBox5->setChecked(Terminal->AppendLF);
    // tcNone has no item: nothing is selected (-1).
    dialog->ComboBox1->setCurrentIndex(Terminal->Caret() == tcNone ? -1 : Terminal->Caret());
    dialog->ComboBox2->setCurrentIndex(Terminal->Emulation());
    dialog->Edit1->setText(QString::number(Terminal->Columns()));
    dialog->Edit2->setText(QString::number(Terminal->Rows()));
    dialog->ComboBox3->setCurrentIndex(Terminal->ArrowKeys());

    if (ExecModal(*dialog) != QDialog::Accepted)
        return;

    Terminal->LocalEcho = dialog->CheckBox1->isChecked();
    Terminal->SendLF = dialog->CheckBox2->isChecked();
    Terminal->WrapLines = dialog->CheckBox3->isChecked();
    Terminal->Force7Bit = dialog->CheckBox4->isChecked();
    Terminal->AppendLF = dialog->CheckBox5->isChecked();
    // No item selected (-1) keeps the present value: a caret of tcNone stays tcNone.
    if (const int caret = dialog->ComboBox1->currentIndex(); caret >= tcBlock && caret <= tcNone)
        Terminal->SetCaret(static_cast<TTermCaret>(caret));
    if (const int emulation = dialog->ComboBox2->currentIndex();
        emulation >= teVT100orANSI && emulation <= teNone)
        Terminal->SetEmulation(static_cast<TTermEmulation>(emulation));
    Terminal->SetColumns(numberOr(dialog->Edit1, 80));
    Terminal->SetRows(numberOr(dialog->Edit2, 24));
    if (const int keys = dialog->ComboBox3->currentIndex(); keys >= akTerminal && keys <= akWindows)
        Terminal->SetArrowKeys(static_cast<TArrowKeys>(keys));
}

} // namespace zv
