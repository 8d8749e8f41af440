#include "cportui/ComSetup.h"

#include "cport/ComPort.h"
#include "cportui/ComComboBox.h"
#include "toolkit/qt/ModalRunner.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <array>
#include <exception>
#include <memory>

namespace zv {

namespace {

struct TRow {
    const char* Caption;
    TComProperty Property;
    const char* StoredText;
};

// Label caption, setting and stored text of each row, top to bottom (also the tab order).
constexpr std::array<TRow, 6> Rows = {{
    {"Port", cpPort, "COM1"},
    {"Baud rate", cpBaudRate, "Custom"},
    {"Data bits", cpDataBits, "5"},
    {"Stop bits", cpStopBits, "1"},
    {"Parity", cpParity, "None"},
    {"Flow control", cpFlowControl, "Hardware"},
}};

constexpr int ComboWidth = 129;
constexpr int ButtonWidth = 75;
constexpr int ButtonHeight = 25;

} // namespace

TComSetupFrm::TComSetupFrm(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(QStringLiteral("Setup"));
    GroupBox1 = new QGroupBox(QStringLiteral(" Settings "), this);
    auto* grid = new QGridLayout(GroupBox1);
    grid->setColumnMinimumWidth(0, 64);

    QLabel** labels[] = {&Label1, &Label2, &Label3, &Label4, &Label5, &Label6};
    TComComboBox** combos[] = {&Combo1, &Combo2, &Combo3, &Combo4, &Combo5, &Combo6};
    for (std::size_t i = 0; i < Rows.size(); ++i) {
        const TRow& row = Rows[i];
        auto* label = new QLabel(QString::fromLatin1(row.Caption), GroupBox1);
        auto* combo = new TComComboBox(GroupBox1);
        combo->setObjectName(QStringLiteral("Combo%1").arg(i + 1));
        combo->SetName("Combo" + std::to_string(i + 1));
        combo->setFixedWidth(ComboWidth);
        label->setBuddy(combo);
        // The form description's order: ComProperty is read before Text, inside the loading
        // state, so the list exists when the stored text looks for its item.
        combo->BeginLoading();
        combo->SetComProperty(row.Property);
        combo->SetText(row.StoredText);
        combo->Loaded();
        const int gridRow = static_cast<int>(i);
        grid->addWidget(label, gridRow, 0);
        grid->addWidget(combo, gridRow, 1);
        *labels[i] = label;
        *combos[i] = combo;
    }

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    for (QPushButton* button : {Button1, Button2})
        button->setFixedSize(ButtonWidth, ButtonHeight);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addLayout(buttons);

    // Tab order: the six combos inside the group, then OK, then Cancel.
    for (std::size_t i = 0; i + 1 < Rows.size(); ++i)
        setTabOrder(*combos[i], *combos[i + 1]);
    setTabOrder(Combo6, Button1);
    setTabOrder(Button1, Button2);

    // A fixed dialog border: the size the layout asks for, no resizing.
    setFixedSize(sizeHint());
}

TComComboBox* TComSetupFrm::Combo(int Index) const {
    TComComboBox* const combos[] = {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6};
    return (Index >= 0 && Index < 6) ? combos[Index] : nullptr;
}

void EditComPort(TCustomComPort* ComPort) {
    EditComPortConfirmed(ComPort);
}

bool EditComPortConfirmed(TCustomComPort* ComPort) {
    if (!ComPort)
        return false; // no port, nothing to edit
    // Created for one use, without an owner; the unique_ptr destroys it on every path.
    auto dialog = std::make_unique<TComSetupFrm>();
    for (int i = 0; i < 6; ++i)
        dialog->Combo(i)->SetComPort(ComPort);
    for (int i = 0; i < 6; ++i)
        dialog->Combo(i)->UpdateSettings();

    if (ExecModal(*dialog) != QDialog::Accepted)
        return false;

    ComPort->BeginUpdate();
    try {
        for (int i = 0; i < 6; ++i)
            dialog->Combo(i)->ApplySettings();
    } catch (...) {
        // The bracket is closed also when a setter raised. The setter's exception is the one
        // the user must see; a second failure while applying the rest is dropped in its favour.
        try {
            ComPort->EndUpdate();
        } catch (...) {
        }
        throw;
    }
    ComPort->EndUpdate();
    return true;
}

void InstallComPortSetupDialog() {
    TCustomComPort::SetSetupDialog(&EditComPortConfirmed);
}

} // namespace zv
