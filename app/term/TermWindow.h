// TTermWindow: zelvator-term's main window, a serial terminal around one port.
//
// Menus and a toolbar hold the commands; the status bar shows seven LEDs (Conn, CTS, DSR, RLSD,
// Ring, Rx, Tx), the port's name and line settings, and whether it is connected. Commands run
// on the GUI thread; sending a file goes out slice by slice while the window keeps working,
// writing a program into the board blocks the window for the download, as the downloader does.
//
// Settings: the port's line settings and the terminal's options of the last session are read at
// start (the command line's port and speed win) and written when they change and at the end.
//
// Failures: every command that fails shows one message box that names the operation and the
// reason the system gave. A device that goes away while connected (a USB adapter pulled out)
// is reported once; the window then shows Disconnected and keeps what the screen shows.
#pragma once

#include "app/term/SendFile.h"
#include "toolkit/Component.h"
#include "toolkit/Exception.h"
#include "toolkit/Object.h"

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <array>
#include <exception>
#include <memory>
#include <string>

class QAction;
class QLabel;
class QProgressBar;
class QToolBar;
class QToolButton;

namespace zv {

class TComLed;
class TComPort;
class TComTerminal;
struct TTermStart;

class TTermWindow : public QMainWindow, public TComponent {
    Q_OBJECT

public:
    // Start: the port and speed from the command line, each overriding what was remembered.
    // DefaultPort: the device for a first start without remembered settings ("SIM" when the
    // simulated board is there).
    TTermWindow(const TTermStart& Start, const std::string& DefaultPort, QWidget* Parent = nullptr);
    ~TTermWindow() override;

    TComPort* ComPort1;
    TComTerminal* ComTerminal1;
    // The status bar's LEDs, in the order of TComLedSignal: Conn, CTS, DSR, RLSD, Ring, Rx, Tx.
    std::array<TComLed*, 7> Leds{};
    QLabel* PortPanel;  // "SIM  9600 8-N-1"
    QLabel* StatePanel; // "Connected" / "Disconnected"
    QProgressBar* SendProgress;
    QToolButton* CancelSendButton;

    QAction* ConnectAction;
    QAction* DisconnectAction;
    QAction* PortSettingsAction;
    QAction* TermSettingsAction;
    QAction* FontAction;
    QAction* ClearAction;
    QAction* SaveScreenAction;
    QAction* SendFileAction;
    QAction* WriteProgramAction;
    QAction* QuitAction;

    // ---- Commands (each reports its own failure) -----------------------------------------
    // Opens the port; true when it is open afterwards.
    bool Connect();
    // Ends a file being sent, then closes the port.
    void Disconnect();
    // The port setup dialog; the port is reconfigured on OK (reopened for a new device).
    void PortSettings();
    // The terminal setup dialog.
    void TerminalSettings();
    // The font dialog, fixed-pitch fonts only.
    void SelectFont();
    void ClearScreen();
    // Writes the screen's text to a file chosen in a dialog: one line per row, CR LF between.
    void SaveScreen();
    // Chooses a file and sends its bytes raw; the window keeps working meanwhile. Only a regular
    // file of at most SendFileLimit bytes is sent: anything else is refused with a message, and
    // what is not a regular file is not even opened (a pipe with no writer would hang the open,
    // a device's open moves its lines, and a device like /dev/zero never ends).
    void SendFile();
    // Stops the file being sent.
    void CancelSend();
    // Chooses a HEX file and writes it into the board on this port: the downloader's load and
    // send sequence (framing on RTS and DTR), then the board runs and the terminal shows what
    // the program prints. Connects first when needed.
    void WriteProgram();

    // Remembers the port's and the terminal's settings for the next start (TermSettings.h); done
    // after a connect, after the settings dialogs and when the window closes.
    void StoreSettings();

    bool Sending() const noexcept { return FSendJob && FSendJob->Running(); }
    // The window's idea of the connection (false after a lost device even before the port is
    // closed).
    bool Online() const noexcept { return FOnline; }

    // The interval of the look at a connected device that notices it going away.
    static constexpr int WatchMs = 500;
    // The largest file Send file takes: the whole file is held in memory while it goes out, and
    // 16 MiB already take some 25 minutes on the line at 115200 baud.
    static constexpr qint64 SendFileLimit = qint64{16} << 20;

protected:
    void closeEvent(QCloseEvent* Event) override;

private:
    class TDownloadReport;

    void CreateComPort(const std::string& DefaultPort);
    // Reads the remembered port and terminal settings; a failure is reported after start-up.
    void LoadSettings();
    void CreateActions();
    void CreateStatusBar();
    // Runs a command: a failure is reported, a device found gone ends the connection.
    // Runs Command, reporting a failure as the failure of Operation; true when it succeeded.
    template <typename F> bool Run(const QString& Operation, F&& Command);
    void ReportFailure(const QString& Operation, std::exception_ptr Error);
    // The device went away: close quietly, show Disconnected, report once.
    void ConnectionLost(const QString& Operation, const std::string& Reason);
    void Watch();
    void SendFinished(TSendResult Result, std::exception_ptr Error);
    void ShowSendProgress(std::size_t Sent, std::size_t Total);
    // Sizes the window to the terminal's screen grid.
    void FitTerminal();
    // Enables the commands and shows the port's name, settings and state.
    void UpdateState();
    void ShowError(const QString& Text);
    // The application's exception handler while the window exists: what escaped a handler
    // (typing into a port that fails, a failing receive) is reported like a command's failure,
    // on the GUI thread.
    void HandleException(const std::exception& E);
    // The file chosen in a file dialog with Filters (to open an existing file, or to save);
    // empty when cancelled.
    QString ChooseFile(const QString& Title, const QStringList& Filters, bool Save = false);

    QToolBar* FToolBar = nullptr;
    std::unique_ptr<TSendFileJob> FSendJob;
    QTimer FWatch;
    bool FOnline = false;
    TExceptionHandler FPreviousHandler;
};

// A short text for the system error codes a port reports; empty for others.
std::string SystemReason(std::int32_t OsError);

} // namespace zv
