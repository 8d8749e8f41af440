// TForm1: Zelvator's main window — a toolbar of commands, a three-panel status bar, the serial
// port ComPort1 and the open-file dialog. Every command runs on the GUI thread and blocks it
// until it is done, the download's fixed waits included; an exception that escapes a command
// is shown by the application's standard exception display. A command that fails because the
// port's device has gone away (unplugged) closes ComPort1: the next command opens it afresh.
//
// The window remembers its port: "Setup COM", once confirmed, stores ComPort1's basic settings in
// zelvator.ini in the configuration folder (app/core/BoardSettings.h), and the window loads them
// when it is created. Without the file ComPort1 keeps its designed settings; a file or value
// that cannot be used leaves them too, and a message box says so once the window is shown.
#pragma once

#include "toolkit/Component.h"
#include "toolkit/Object.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <string>
#include <string_view>

class QAction;
class QFileDialog;
class QLabel;
class QStatusBar;
class QToolBar;

namespace zv {

class TComPort;
class TForm2;

// The open-file dialog's filter string: pairs of description and patterns, separated by "|";
// the patterns of one pair are separated by ";".
inline constexpr std::string_view OpenDialogFilter =
    "*.HEX|*.ihx;*.hex|*.ihx|*.ihx|*.BIN|*.bin|All|*.*";

// The filter string as Qt name filters, one per pair: "*.HEX (*.ihx *.hex)". A last
// description without patterns is dropped.
QStringList NameFiltersFromFilterString(std::string_view Filter);
// Whether FileName matches one of the patterns of name filter NameFilter, ignoring case.
bool NameFilterMatches(const QString& NameFilter, const QString& FileName);

class TForm1 : public QMainWindow, public TComponent {
    Q_OBJECT

public:
    // About is the About window shown by the two "Help - About" buttons (not owned).
    explicit TForm1(TForm2* About, QWidget* Parent = nullptr);
    ~TForm1() override;

    QToolBar* ToolBar1;
    QAction* ToolButton1; // "Open File"
    QAction* ToolButton2; // separator, 18 pixels
    QAction* ToolButton3; // "Setup COM"
    QAction* ToolButton4; // "Help - About"
    QAction* ToolButton5; // "Help - About"
    QAction* ToolButton6; // "Reset"
    QAction* ToolButton7; // separator, 28 pixels
    QAction* ToolButton8; // "Write Program to Sim"
    QStatusBar* StatusBar1;
    TComPort* ComPort1;
    QFileDialog* OpenDialog1;

    // Status bar panel Index (0 to 2).
    QString PanelText(int Index) const;
    void SetPanelText(int Index, const QString& Text);
    // The file the download reads: the open-file dialog's last confirmed choice, in the local
    // 8-bit encoding; empty until one was confirmed.
    const std::string& FileName() const noexcept { return FFileName; }

    // ComPort1.OnAfterOpen: the board's idle state, RTS on and DTR off.
    void ComPortOpen(TObject* Sender);
    // "Open File": run the dialog; a confirmed file enables "Write Program to Sim".
    void ToolButton1Click();
    // "Setup COM": the port setup dialog on ComPort1; once it is confirmed, the port's basic
    // settings are stored for the next start (a failure to store is raised).
    void ToolButton3Click();
    // "Help - About", both buttons: the About window, modally.
    void ToolButton4Click();
    void ToolButton5Click();
    // "Reset": a DTR pulse on the open port.
    void ToolButton6Click();
    // "Write Program to Sim": open the port, load the file, send it, start the board.
    void ToolButton8Click();

private:
    class TStatusObserver;

    QAction* AddButton(int ImageIndex, const char* Hint);
    QAction* AddSeparator(int Width);
    void CreateComPort();
    void LoadPortSettings();
    void ShowAbout();

    QLabel* FPanels[3];
    TForm2* FAbout;
    std::string FFileName;
};

} // namespace zv
