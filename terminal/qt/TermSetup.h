// The terminal setup dialog: five on/off options of character handling, the caret shape, the
// emulation, the screen size and the meaning of the cursor keys. It shows the terminal's values
// and writes them all back on OK; Cancel or the close box leaves the terminal as it was.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace zv {

class TCustomComTerminal;

class TComTrmSetForm : public QDialog {
    Q_OBJECT

public:
    explicit TComTrmSetForm(QWidget* Parent = nullptr);

    QGroupBox* GroupBox1;
    QCheckBox* CheckBox1; // LocalEcho
    QCheckBox* CheckBox2; // SendLF
    QCheckBox* CheckBox3; // WrapLines
    QCheckBox* CheckBox4; // Force7Bit
    QCheckBox* CheckBox5; // AppendLF
    QGroupBox* GroupBox2;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QComboBox* ComboBox1; // Caret
    QComboBox* ComboBox2; // Emulation
    QComboBox* ComboBox3; // ArrowKeys
    QLineEdit* Edit1;     // Columns
    QLineEdit* Edit2;     // Rows
    QPushButton* Button1; // OK
    QPushButton* Button2; // Cancel
};

// Runs the dialog on Terminal (nothing without one). On OK: the five options, then Caret,
// Emulation, Columns (80 when the text is not a number), Rows (24 likewise) and ArrowKeys.
void EditComTerminal(TCustomComTerminal* Terminal);

} // namespace zv
