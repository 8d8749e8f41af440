#include "app/term/TermWindow.h"

#include "app/core/Download.h"
#include "app/core/HexImage.h"
#include "app/core/HostSystem.h"
#include "app/core/LineSettings.h"
#include "app/term/TermSettings.h"
#include "app/term/TermStart.h"
#include "cport/ComError.h"
#include "cport/ComPort.h"
#include "cportui/ComSetup.h"
#include "terminal/qt/ComLed.h"
#include "terminal/qt/ComTerminal.h"
#include "toolkit/Stream.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtText.h"

#include <QAction>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QSaveFile>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

namespace zv {

namespace {

const QString AppName = QStringLiteral("zelvator-term");

// What the path names when it is no regular file ("a pipe", "a device", ...), else empty; looked
// up without opening it. A path that is not there is left to the open, which says so.
QString NotRegularFileKind(const QString& Path) {
    const std::string name = QFile::encodeName(Path).toStdString();
    switch (SpecialName(name)) {
    case sfDevice:
        return QStringLiteral("a device");
    case sfPipe:
        return QStringLiteral("a pipe");
    case sfNone:
        break;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    switch (fs::status(fs::path(name), error).type()) {
    case fs::file_type::regular:
    case fs::file_type::not_found:
    case fs::file_type::none:
        return {};
    case fs::file_type::fifo:
        return QStringLiteral("a pipe");
    case fs::file_type::character:
    case fs::file_type::block:
        return QStringLiteral("a device");
    case fs::file_type::socket:
        return QStringLiteral("a socket");
    case fs::file_type::directory:
        return QStringLiteral("a folder");
    default:
        return QStringLiteral("something else");
    }
}

struct TLedPlace {
    TComLedSignal Signal;
    TLedKind Kind;
    const char* Label;
    const char* Hint;
};

// The status bar's lamps, in TComLedSignal order.
constexpr TLedPlace LedPlaces[] = {
    {lsConn, lkGreenLight, "Conn", "The port is open"},
    {lsCTS, lkYellowLight, "CTS", "Clear To Send (input)"},
    {lsDSR, lkYellowLight, "DSR", "Data Set Ready (input)"},
    {lsRLSD, lkYellowLight, "RLSD", "Carrier detect (input)"},
    {lsRing, lkBulb, "Ring", "Ring indicator"},
    {lsRx, lkGreenLight, "Rx", "Receiving"},
    {lsTx, lkRedLight, "Tx", "Transmitting"},
};

QString FileNameText(const std::string& LocalName) {
    return QFile::decodeName(QByteArray::fromStdString(LocalName));
}

} // namespace

std::string SystemReason(std::int32_t OsError) {
    switch (OsError) {
    case ERROR_FILE_NOT_FOUND:
        return "There is no device of that name.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied: another program uses the device, or you may not open it.";
    case ERROR_NOT_READY:
        return "The device is not ready.";
    case ERROR_BAD_COMMAND:
        return "The device does not recognize the command.";
    case ERROR_GEN_FAILURE:
        return "A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION:
        return "The device is in use by another program.";
    case ERROR_SEM_TIMEOUT:
        return "The time-out period expired.";
    case ERROR_OPERATION_ABORTED:
        return "The operation was aborted.";
    case ERROR_DEVICE_NOT_CONNECTED:
        return "The device is not connected.";
    case ERROR_DEVICE_REMOVED:
        return "The device has been removed.";
    default:
        return {};
    }
}

// Maps the download's reports to the status bar, the progress bar and message boxes.
class TTermWindow::TDownloadReport : public TDownloadObserver {
public:
    explicit TDownloadReport(TTermWindow& Window) : FWindow(Window) {}

    void Status(std::string_view Text, bool Repaint) override {
        FWindow.statusBar()->showMessage(ToQString(Text));
        if (Repaint)
            FWindow.statusBar()->repaint();
    }
    void FileOpenFailed(const std::string& FileName, DWORD Error) override {
        const auto code = static_cast<std::int32_t>(Error);
        std::string reason = SystemReason(code);
        if (reason.empty() || code == ERROR_FILE_NOT_FOUND)
            reason = "system error " + std::to_string(code);
        FWindow.ShowError(QStringLiteral("Write program failed: cannot open %1\n%2")
                              .arg(FileNameText(FileName), ToQString(reason)));
    }
    void FileRefused(const std::string& FileName, const HexLoadReport& Report) override {
        FWindow.ShowError(
            QStringLiteral("Write program: %1 is not a usable HEX file, nothing was sent.\n%2")
                .arg(FileNameText(FileName), ToQString(HexProblemText(Report))));
    }
    bool WantsProgress() const override { return true; }
    void Progress(std::size_t Sent, std::size_t Total) override {
        FWindow.ShowSendProgress(Sent, Total);
        // The window is busy with the download: paint the bar itself now.
        FWindow.SendProgress->repaint();
    }

private:
    TTermWindow& FWindow;
};

TTermWindow::TTermWindow(const TTermStart& Start, const std::string& DefaultPort, QWidget* Parent)
    : QMainWindow(Parent), TComponent(nullptr) {
    InstallComPortSetupDialog();
    SetName("TermWindow");
    setWindowTitle(AppName);
    CreateComPort(DefaultPort);
    ComTerminal1 = new TComTerminal(this);
    ComTerminal1->SetName("ComTerminal1");
    ComTerminal1->SetComPort(ComPort1);
    // Tab is a character for the line, not a move to the next control.
    ComTerminal1->WantTab = true;
    setCentralWidget(ComTerminal1);
    ComTerminal1->setFocus();
    // What the last session had, then what the command line asks for.
    LoadSettings();
    if (Start.Port)
        ComPort1->SetPort(*Start.Port);
    if (Start.Baud)
        SetPortSpeed(*ComPort1, *Start.Baud);
    CreateActions();
    CreateStatusBar();
    FWatch.setInterval(WatchMs);
    connect(&FWatch, &QTimer::timeout, this, [this] { CallHandler([this] { Watch(); }); });
    FitTerminal();
    UpdateState();
    FPreviousHandler =
        SetApplicationExceptionHandler([this](const std::exception& E) { HandleException(E); });
}

TTermWindow::~TTermWindow() {
    SetApplicationExceptionHandler(std::move(FPreviousHandler));
    FWatch.stop();
    // A file still going out stops before the port goes.
    FSendJob.reset();
    // ComPort1 is destroyed (closing the device) while the window and its LEDs still exist.
    BeforeDestruction();
}

void TTermWindow::CreateComPort(const std::string& DefaultPort) {
    ComPort1 = new TComPort(this);
    ComPort1->SetName("ComPort1");
    if (!DefaultPort.empty())
        ComPort1->SetPort(DefaultPort);
}

void TTermWindow::LoadSettings() {
    try {
        LoadTermSettings(*ComPort1, *ComTerminal1);
    } catch (...) {
        // Reported once the window is on the screen; it starts with what could be read.
        const std::exception_ptr error = std::current_exception();
        QTimer::singleShot(0, this, [this, error] {
            ReportFailure(QStringLiteral("Reading the settings of the last session"), error);
        });
    }
}

void TTermWindow::StoreSettings() {
    Run(QStringLiteral("Saving the settings"),
        [this] { StoreTermSettings(*ComPort1, *ComTerminal1); });
}

void TTermWindow::CreateActions() {
    auto action = [this](const char* Text, const char* Tip, auto Handler) {
        auto* a = new QAction(QString::fromLatin1(Text), this);
        a->setToolTip(QString::fromLatin1(Tip));
        connect(a, &QAction::triggered, this, [this, Handler] { CallHandler([&] { Handler(); }); });
        return a;
    };
    ConnectAction = action("&Connect", "Open the port", [this] { Connect(); });
    DisconnectAction = action("&Disconnect", "Close the port", [this] { Disconnect(); });
    PortSettingsAction =
        action("&Port settings...", "The port's line settings", [this] { PortSettings(); });
    TermSettingsAction = action("&Terminal settings...", "Emulation, screen size, echo, line ends",
                                [this] { TerminalSettings(); });
    FontAction = action("&Font...", "The terminal's font", [this] { SelectFont(); });
    ClearAction = action("C&lear", "Clear the screen", [this] { ClearScreen(); });
    SaveScreenAction = action("&Save screen as text...", "Write the screen's text to a file",
                              [this] { SaveScreen(); });
    SendFileAction =
        action("Send &file...", "Send a file's bytes as they are", [this] { SendFile(); });
    WriteProgramAction =
        action("&Write program...", "Write an Intel HEX program into the board on this port",
               [this] { WriteProgram(); });
    // No shortcut: every key combination that types a character belongs to the line while the
    // terminal has the focus (Ctrl+Q is XON, and Ctrl+Shift+Q types it as well).
    QuitAction = action("&Quit", "End the program", [this] { close(); });

    QMenu* connection = menuBar()->addMenu(QStringLiteral("&Connection"));
    connection->addAction(ConnectAction);
    connection->addAction(DisconnectAction);
    connection->addSeparator();
    connection->addAction(PortSettingsAction);
    connection->addSeparator();
    connection->addAction(QuitAction);
    QMenu* terminal = menuBar()->addMenu(QStringLiteral("&Terminal"));
    terminal->addAction(TermSettingsAction);
    terminal->addAction(FontAction);
    terminal->addSeparator();
    terminal->addAction(ClearAction);
    terminal->addAction(SaveScreenAction);
    QMenu* transfer = menuBar()->addMenu(QStringLiteral("T&ransfer"));
    transfer->addAction(SendFileAction);
    transfer->addAction(WriteProgramAction);

    QToolBar* tools = addToolBar(QStringLiteral("Commands"));
    FToolBar = tools;
    tools->setObjectName(QStringLiteral("Commands"));
    tools->setMovable(false);
    tools->addAction(ConnectAction);
    tools->addAction(DisconnectAction);
    tools->addAction(PortSettingsAction);
    tools->addAction(TermSettingsAction);
    tools->addAction(ClearAction);
    tools->addSeparator();
    tools->addAction(SendFileAction);
    tools->addAction(WriteProgramAction);
    // The toolbar's buttons must not take the focus from the terminal.
    for (QAction* a : tools->actions())
        if (QWidget* button = tools->widgetForAction(a))
            button->setFocusPolicy(Qt::NoFocus);
}

void TTermWindow::CreateStatusBar() {
    auto* lamps = new QWidget(statusBar());
    auto* row = new QHBoxLayout(lamps);
    row->setContentsMargins(2, 0, 2, 0);
    row->setSpacing(2);
    for (const TLedPlace& place : LedPlaces) {
        auto* led = new TComLed(lamps);
        led->setFixedSize(17, 17);
        led->SetKind(place.Kind);
        led->SetLedSignal(place.Signal);
        led->SetComPort(ComPort1);
        led->setToolTip(QString::fromLatin1(place.Hint));
        auto* label = new QLabel(QString::fromLatin1(place.Label), lamps);
        label->setToolTip(led->toolTip());
        row->addWidget(led);
        row->addWidget(label);
        row->addSpacing(6);
        Leds[place.Signal] = led;
    }

    PortPanel = new QLabel(statusBar());
    StatePanel = new QLabel(statusBar());
    SendProgress = new QProgressBar(statusBar());
    SendProgress->setMaximumWidth(160);
    SendProgress->setVisible(false);
    CancelSendButton = new QToolButton(statusBar());
    CancelSendButton->setText(QStringLiteral("Cancel"));
    CancelSendButton->setToolTip(QStringLiteral("Stop sending the file"));
    CancelSendButton->setVisible(false);
    connect(CancelSendButton, &QToolButton::clicked, this,
            [this] { CallHandler([this] { CancelSend(); }); });
    // Permanent: a message on the left does not hide them.
    statusBar()->addPermanentWidget(SendProgress);
    statusBar()->addPermanentWidget(CancelSendButton);
    statusBar()->addPermanentWidget(lamps);
    statusBar()->addPermanentWidget(PortPanel);
    statusBar()->addPermanentWidget(StatePanel);
}

// ---- Failures ---------------------------------------------------------------------------------

template <typename F> bool TTermWindow::Run(const QString& Operation, F&& Command) {
    try {
        Command();
        return true;
    } catch (...) {
        ReportFailure(Operation, std::current_exception());
        return false;
    }
}

void TTermWindow::ReportFailure(const QString& Operation, std::exception_ptr Error) {
    try {
        std::rethrow_exception(std::move(Error));
    } catch (const EComPort& e) {
        const std::string reason = SystemReason(e.OsErrorCode());
        if (DeviceGone(e.OsErrorCode()) && FOnline) {
            ConnectionLost(Operation, e.what() + ("\n" + reason));
            return;
        }
        ShowError(
            QStringLiteral("%1 failed:\n%2")
                .arg(Operation, ToQString(reason.empty() ? e.what() : e.what() + ("\n" + reason))));
    } catch (const std::exception& e) {
        ShowError(QStringLiteral("%1 failed:\n%2").arg(Operation, ToQString(e.what())));
    } catch (...) {
        ShowError(QStringLiteral("%1 failed.").arg(Operation));
    }
}

void TTermWindow::ShowError(const QString& Text) {
    QMessageBox box(QMessageBox::Critical, AppName, Text, QMessageBox::Ok, this);
    ExecModal(box);
}

void TTermWindow::HandleException(const std::exception& E) {
    // A copy that outlives the handler, keeping the port's codes.
    std::exception_ptr error;
    if (const auto* port = dynamic_cast<const EComPort*>(&E))
        error = std::make_exception_ptr(*port);
    else
        error = std::make_exception_ptr(Exception(E.what()));
    auto report = [this, error] {
        ReportFailure(QStringLiteral("Port %1").arg(ToQString(ComPort1->Port())), error);
    };
    if (QThread::currentThread() == thread())
        report();
    else
        QMetaObject::invokeMethod(this, report, Qt::QueuedConnection);
}

void TTermWindow::ConnectionLost(const QString& Operation, const std::string& Reason) {
    if (!FOnline)
        return; // reported already
    FOnline = false;
    FWatch.stop();
    if (FSendJob) {
        FSendJob->OnFinished = nullptr;
        FSendJob->Cancel();
        SendProgress->setVisible(false);
        CancelSendButton->setVisible(false);
    }
    try {
        ComPort1->Close(); // a device that is gone still closes
    } catch (...) {
        // The connection is over either way; the report below says why.
    }
    UpdateState();
    ShowError(QStringLiteral("%1: the connection to %2 was lost.\n%3")
                  .arg(Operation, ToQString(ComPort1->Port()), ToQString(Reason)));
}

void TTermWindow::Watch() {
    if (!FOnline || !ComPort1->Connected()) {
        FWatch.stop();
        return;
    }
    try {
        ComPort1->Signals();
    } catch (const EComPort& e) {
        if (DeviceGone(e.OsErrorCode()))
            ConnectionLost(QStringLiteral("Port %1").arg(ToQString(ComPort1->Port())),
                           e.what() + ("\n" + SystemReason(e.OsErrorCode())));
    }
}

// ---- Commands ---------------------------------------------------------------------------------

bool TTermWindow::Connect() {
    if (!ComPort1->Connected())
        Run(QStringLiteral("Connect to %1").arg(ToQString(ComPort1->Port())),
            [this] { ComPort1->Open(); });
    FOnline = ComPort1->Connected();
    if (FOnline) {
        FWatch.start();
        StoreSettings();
    }
    UpdateState();
    return FOnline;
}

void TTermWindow::Disconnect() {
    if (FSendJob)
        CancelSend();
    FWatch.stop();
    FOnline = false;
    Run(QStringLiteral("Disconnect from %1").arg(ToQString(ComPort1->Port())),
        [this] { ComPort1->Close(); });
    UpdateState();
}

void TTermWindow::PortSettings() {
    if (Sending())
        return;
    TLineSettings before(*ComPort1);
    if (!Run(QStringLiteral("Port settings"), [this] { ComPort1->ShowSetupDialog(); }))
        before.PutBack(*ComPort1);
    StoreSettings();
    // A new device name reopens an open port, which may have failed.
    FOnline = ComPort1->Connected();
    if (FOnline)
        FWatch.start();
    else
        FWatch.stop();
    UpdateState();
}

QString TTermWindow::ChooseFile(const QString& Title, const QStringList& Filters, bool Save) {
    QFileDialog dialog(this, Title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setAcceptMode(Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setNameFilters(Filters);
    if (ExecModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

void TTermWindow::TerminalSettings() {
    Run(QStringLiteral("Terminal settings"), [this] { ComTerminal1->ShowSetupDialog(); });
    FitTerminal();
    StoreSettings();
}

void TTermWindow::SelectFont() {
    Run(QStringLiteral("Font"), [this] { ComTerminal1->SelectFont(); });
    FitTerminal();
    StoreSettings();
}

void TTermWindow::FitTerminal() {
    // The window as large as the whole screen grid needs, the terminal's frame included; the
    // user may make it smaller (the terminal then scrolls).
    const int frame = 2 * ComTerminal1->frameWidth();
    ComTerminal1->setMinimumSize(ComTerminal1->CharWidth() * ComTerminal1->Columns() + frame,
                                 ComTerminal1->CharHeight() * ComTerminal1->Rows() + frame);
    QSize wanted = minimumSizeHint();
    ComTerminal1->setMinimumSize(0, 0);
    // Wide enough for the status bar's lamps and panels and for the toolbar as well.
    wanted.setWidth(
        std::max({wanted.width(), statusBar()->sizeHint().width(), FToolBar->sizeHint().width()}));
    // Never larger than the screen it is on.
    if (const QScreen* display = screen())
        wanted = wanted.boundedTo(display->availableSize());
    resize(wanted);
}

void TTermWindow::ClearScreen() {
    ComTerminal1->ClearScreen();
}

void TTermWindow::SaveScreen() {
    const QString name =
        ChooseFile(QStringLiteral("Save screen as text"),
                   {QStringLiteral("Text (*.txt)"), QStringLiteral("All (*)")}, true);
    if (name.isEmpty())
        return;
    TMemoryStream text;
    ComTerminal1->SaveToStream(text);
    // Written aside and renamed over the target at the end: a failed save leaves no half file.
    QSaveFile file(name);
    const auto size = static_cast<qint64>(text.Data().size());
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(text.Data().data()), size) != size ||
        !file.commit()) {
        ShowError(QStringLiteral("Save screen as text failed: cannot write %1\n%2")
                      .arg(name, file.errorString()));
        return;
    }
    statusBar()->showMessage(QStringLiteral("Screen saved to %1").arg(name), 5000);
}

void TTermWindow::SendFile() {
    if (Sending() || !FOnline)
        return;
    const QString name = ChooseFile(QStringLiteral("Send file"), {QStringLiteral("All (*)")});
    if (name.isEmpty())
        return;
    // Looked at before it is opened: only a regular file is opened and read.
    const QString kind = NotRegularFileKind(name);
    if (!kind.isEmpty()) {
        ShowError(QStringLiteral("Send file: %1 is not a regular file but %2, nothing was sent.\n"
                                 "Only a regular file is sent.")
                      .arg(name, kind));
        return;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        ShowError(
            QStringLiteral("Send file failed: cannot open %1\n%2").arg(name, file.errorString()));
        return;
    }
    // Size 0: grew past the limit while it was read.
    const auto TooLarge = [&](qint64 Size) {
        ShowError(QStringLiteral("Send file: %1 is %2larger than %3 bytes (16 MiB), nothing was "
                                 "sent.\nSend file takes files of up to 16 MiB.")
                      .arg(name, Size > 0 ? QStringLiteral("%1 bytes, ").arg(Size) : QString())
                      .arg(SendFileLimit));
    };
    if (file.size() > SendFileLimit) {
        TooLarge(file.size());
        return;
    }
    // The file may grow while it is read: never more than the limit is read.
    const QByteArray bytes = file.read(SendFileLimit + 1);
    if (file.error() != QFileDevice::NoError) {
        ShowError(
            QStringLiteral("Send file failed: cannot read %1\n%2").arg(name, file.errorString()));
        return;
    }
    if (bytes.size() > SendFileLimit) {
        TooLarge(0);
        return;
    }
    FSendJob = std::make_unique<TSendFileJob>(*ComPort1, bytes.toStdString());
    FSendJob->OnProgress = [this](std::size_t Sent, std::size_t Total) {
        ShowSendProgress(Sent, Total);
    };
    FSendJob->OnFinished = [this](TSendResult Result, std::exception_ptr Error) {
        SendFinished(Result, std::move(Error));
    };
    SendProgress->setVisible(true);
    CancelSendButton->setVisible(true);
    statusBar()->showMessage(QStringLiteral("Sending %1").arg(name));
    FSendJob->Start();
    UpdateState();
}

void TTermWindow::CancelSend() {
    if (FSendJob)
        FSendJob->Cancel();
}

void TTermWindow::ShowSendProgress(std::size_t Sent, std::size_t Total) {
    // The bar counts in per mille: file sizes beyond int are fine.
    SendProgress->setVisible(true);
    SendProgress->setRange(0, 1000);
    SendProgress->setValue(Total == 0 ? 1000 : static_cast<int>(Sent * 1000 / Total));
    SendProgress->setFormat(QStringLiteral("%1 of %2 bytes").arg(Sent).arg(Total));
}

void TTermWindow::SendFinished(TSendResult Result, std::exception_ptr Error) {
    // Not destroyed inside its own callback: Qt deletes it once this event is over.
    TSendFileJob* job = FSendJob.release();
    const std::size_t sent = job->Sent(), total = job->Total();
    job->deleteLater();
    SendProgress->setVisible(false);
    CancelSendButton->setVisible(false);
    UpdateState();
    switch (Result) {
    case sfDone:
        statusBar()->showMessage(QStringLiteral("Sent %1 bytes").arg(total), 5000);
        break;
    case sfCancelled:
        statusBar()->showMessage(
            QStringLiteral("Sending cancelled after %1 of %2 bytes").arg(sent).arg(total), 5000);
        break;
    case sfFailed:
        statusBar()->clearMessage();
        ReportFailure(QStringLiteral("Send file"), std::move(Error));
        break;
    }
}

void TTermWindow::WriteProgram() {
    if (Sending())
        return;
    const QString name =
        ChooseFile(QStringLiteral("Write program"),
                   {QStringLiteral("Intel HEX (*.ihx *.hex)"), QStringLiteral("All (*)")});
    if (name.isEmpty() || !Connect())
        return;
    TDownloadReport report(*this);
    TDownloadResult result = drFileNotOpened;
    Run(QStringLiteral("Write program"),
        [&] { result = RunDownload(*ComPort1, QFile::encodeName(name).toStdString(), report); });
    SendProgress->setVisible(false);
    if (result == drDone)
        statusBar()->showMessage(
            QStringLiteral("%1 written; the board runs it").arg(QFileInfo(name).fileName()), 10000);
    else
        statusBar()->clearMessage();
    UpdateState();
    // Back to the terminal, which shows what the program prints.
    ComTerminal1->setFocus();
}

void TTermWindow::closeEvent(QCloseEvent* Event) {
    if (FSendJob)
        CancelSend();
    StoreSettings();
    Event->accept();
}

void TTermWindow::UpdateState() {
    const bool online = FOnline && ComPort1->Connected();
    const bool sending = Sending();
    ConnectAction->setEnabled(!online);
    DisconnectAction->setEnabled(online);
    PortSettingsAction->setEnabled(!sending);
    SendFileAction->setEnabled(online && !sending);
    WriteProgramAction->setEnabled(!sending);
    const QString port = ToQString(ComPort1->Port());
    PortPanel->setText(QStringLiteral("%1  %2").arg(port, ToQString(LineSettingsText(*ComPort1))));
    StatePanel->setText(online ? QStringLiteral("Connected") : QStringLiteral("Disconnected"));
    setWindowTitle(QStringLiteral("%1 - %2").arg(port, AppName));
}

} // namespace zv
