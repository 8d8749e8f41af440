// The port setup dialog: six selectors for the line settings of one port (device, baud rate,
// data bits, stop bits, parity, flow control). Nothing reaches the port until OK; then all six
// choices are written inside one update bracket, so an open port is reconfigured once.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QPushButton;

namespace zv {

class TComComboBox;
class TCustomComPort;

class TComSetupFrm : public QDialog {
    Q_OBJECT

public:
    explicit TComSetupFrm(QWidget* Parent = nullptr);

    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    TComComboBox* Combo1; // cpPort
    TComComboBox* Combo2; // cpBaudRate
    TComComboBox* Combo3; // cpDataBits
    TComComboBox* Combo4; // cpStopBits
    TComComboBox* Combo5; // cpParity
    TComComboBox* Combo6; // cpFlowControl
    QPushButton* Button1; // OK
    QPushButton* Button2; // Cancel

    // The six combos in the order they are attached, read and applied.
    TComComboBox* Combo(int Index) const;
};

// Runs the setup dialog on ComPort: every combo reads the port's current value; OK writes all
// six (device name first, flow control last) between BeginUpdate and EndUpdate; Cancel or the
// close box leaves the port as it was. The bracket is closed and the dialog destroyed on every
// path; an exception from listing the ports or from a port setter reaches the caller, and the
// settings written before it stay written.
void EditComPort(TCustomComPort* ComPort);
// EditComPort that tells how the dialog ended: true when the user confirmed it with OK and all
// six choices were written, false for Cancel, the close box or no port.
bool EditComPortConfirmed(TCustomComPort* ComPort);

// Makes EditComPortConfirmed the dialog behind TCustomComPort::ShowSetupDialog. A program with
// widgets calls it once at start-up.
void InstallComPortSetupDialog();

} // namespace zv
