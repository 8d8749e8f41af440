// zelvator-term's window driven without a user: dialogs and message boxes go through the modal
// door, the port talks to a virtual line or the simulated board.
#include "app/term/TermWindow.h"
#include "app/term/TermStart.h"
#include "cport/ComPort.h"
#include "platform/VirtualLine.h"
#include "simboard/SimBoard.h"
#include "terminal/qt/ComLed.h"
#include "terminal/qt/ComTerminal.h"
#include "toolkit/Stream.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/tests/QtTestApp.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QScreen>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zv {
namespace {

using namespace std::chrono_literals;

// Runs Qt's events (the port's hand-offs arrive as such) until done() holds.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds patience = 10s) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > patience.count())
            return false;
        QTimer wake; // an event within 5 ms, so the wait below returns
        wake.setSingleShot(true);
        wake.start(5);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void PumpFor(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    PumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, span + 1s);
}

// Intel HEX for `size` bytes at address 0 (byte i = i * 7 + 3), 16 a record, CR LF line ends;
// `badChecksumLine` (1-based, 0 for none) gets a wrong checksum.
std::string HexText(unsigned size, unsigned badChecksumLine = 0) {
    std::string text;
    char buf[32];
    unsigned line = 0;
    for (unsigned address = 0; address < size; address += 16) {
        const unsigned count = std::min(16u, size - address);
        unsigned sum = count + (address >> 8) + (address & 0xFF);
        std::snprintf(buf, sizeof buf, ":%02X%04X00", count, address);
        text += buf;
        for (unsigned i = 0; i < count; ++i) {
            const unsigned value = ((address + i) * 7 + 3) & 0xFF;
            sum += value;
            std::snprintf(buf, sizeof buf, "%02X", value);
            text += buf;
        }
        unsigned checksum = (0x100 - (sum & 0xFF)) & 0xFF;
        if (++line == badChecksumLine)
            checksum ^= 0x55;
        std::snprintf(buf, sizeof buf, "%02X\r\n", checksum);
        text += buf;
    }
    return text + ":00000001FF\r\n";
}

class TermWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::QtTestApp();
        ASSERT_TRUE(dir.isValid());
        // The remembered settings go to a folder of this test, never the user's own.
        const char* old = std::getenv("XDG_CONFIG_HOME");
        oldConfig = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("XDG_CONFIG_HOME",
                 dir.filePath(QStringLiteral("config")).toLocal8Bit().constData(), 1);
        SetModalRunner([this](QDialog& dialog) { return Answer(dialog); });
    }
    void TearDown() override {
        window.reset();
        SetModalRunner(nullptr);
        if (oldConfig)
            ::setenv("XDG_CONFIG_HOME", oldConfig->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

    // A window on port Port (the command line's --port), shown.
    void Open(const std::string& Port, std::optional<std::int32_t> Baud = std::nullopt) {
        TTermStart start;
        start.Port = Port;
        start.Baud = Baud;
        window = std::make_unique<TTermWindow>(start, "");
        window->show();
    }

    int Answer(QDialog& dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
            boxes.push_back(box->text().toStdString());
            return QMessageBox::Ok;
        }
        if (auto* files = qobject_cast<QFileDialog*>(&dialog)) {
            if (fileToChoose.isEmpty())
                return QDialog::Rejected;
            files->selectFile(fileToChoose);
            return QDialog::Accepted;
        }
        ADD_FAILURE() << "unexpected dialog " << dialog.metaObject()->className();
        return QDialog::Rejected;
    }

    QString WriteFile(const char* name, const std::string& content) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        std::ofstream(path.toStdString(), std::ios::binary) << content;
        return path;
    }
    static bool Contains(const std::string& text, const char* part) {
        return text.find(part) != std::string::npos;
    }
    TLedState Led(TComLedSignal signal) const { return window->Leds[signal]->State(); }
    std::string State() const { return window->StatePanel->text().toStdString(); }

    QTemporaryDir dir;
    std::optional<std::string> oldConfig;
    std::unique_ptr<TTermWindow> window;
    QString fileToChoose;
    std::vector<std::string> boxes;
};

TEST_F(TermWindowTest, ConnectsAndItsLampsFollowTheLines) {
    auto line = VirtualLine::Create("ZVTERM1");
    Open("ZVTERM1", 19200);
    EXPECT_EQ(window->PortPanel->text(), "ZVTERM1  19200 8-N-1");
    EXPECT_EQ(State(), "Disconnected");
    EXPECT_FALSE(window->DisconnectAction->isEnabled());
    EXPECT_FALSE(window->SendFileAction->isEnabled());
    for (TComLed* led : window->Leds) {
        ASSERT_NE(led, nullptr);
        EXPECT_EQ(led->ComPort(), window->ComPort1);
    }

    line->SetCts(true);
    ASSERT_TRUE(window->Connect());
    EXPECT_EQ(State(), "Connected");
    EXPECT_EQ(line->Settings().BaudRate, 19200u);
    EXPECT_FALSE(window->ConnectAction->isEnabled());
    EXPECT_TRUE(window->SendFileAction->isEnabled());
    EXPECT_EQ(Led(lsConn), lsOn);
    EXPECT_EQ(Led(lsCTS), lsOn);
    EXPECT_EQ(Led(lsDSR), lsOff);

    struct LineCase {
        std::function<void(VirtualLine&)> move;
        TComLedSignal led;
        TLedState state;
    };
    const LineCase cases[] = {
        {[](VirtualLine& l) { l.SetCts(false); }, lsCTS, lsOff},
        {[](VirtualLine& l) { l.SetDsr(true); }, lsDSR, lsOn},
        {[](VirtualLine& l) { l.SetDcd(true); }, lsRLSD, lsOn},
        {[](VirtualLine& l) { l.SetDcd(false); }, lsRLSD, lsOff},
    };
    for (const LineCase& c : cases) {
        c.move(*line);
        EXPECT_TRUE(PumpUntil([&] { return Led(c.led) == c.state; })) << int(c.led);
    }
    // Received bytes light Rx while the terminal reads them; it goes dark once they are read.
    std::vector<TLedState> rx;
    window->Leds[lsRx]->OnChange = [&](TObject*, TLedState s) { rx.push_back(s); };
    line->Write("x");
    EXPECT_TRUE(PumpUntil([&] { return rx.size() >= 2; }));
    EXPECT_EQ(rx, (std::vector<TLedState>{lsOn, lsOff}));
    window->Leds[lsRx]->OnChange = nullptr;

    window->Disconnect();
    EXPECT_EQ(State(), "Disconnected");
    EXPECT_EQ(Led(lsConn), lsOff);
    EXPECT_EQ(Led(lsDSR), lsOff);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(TermWindowTest, AFailedConnectNamesTheOperationAndTheReason) {
    Open("ZVNOSUCH");
    EXPECT_FALSE(window->Connect());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0], "Connect to ZVNOSUCH failed")) << boxes[0];
    EXPECT_TRUE(Contains(boxes[0], "win error code: 2")) << boxes[0];
    EXPECT_TRUE(Contains(boxes[0], "There is no device of that name")) << boxes[0];
    EXPECT_EQ(State(), "Disconnected");
}

TEST_F(TermWindowTest, SendsAFileWhileTheWindowKeepsWorking) {
    auto line = VirtualLine::Create("ZVTERM2");
    line->SetPacing(true);
    Open("ZVTERM2", 38400);
    ASSERT_TRUE(window->Connect());
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content += static_cast<char>(i * 31 + 7);
    fileToChoose = WriteFile("data.bin", content);

    window->SendFile();
    ASSERT_TRUE(window->Sending());
    EXPECT_FALSE(window->SendFileAction->isEnabled());
    EXPECT_TRUE(window->CancelSendButton->isVisibleTo(window.get()));
    // The window handles events while the file goes out (about 0.8 s at this speed).
    bool handled = false;
    QMetaObject::invokeMethod(
        window.get(), [&] { handled = window->Sending(); }, Qt::QueuedConnection);
    std::string received;
    ASSERT_TRUE(PumpUntil([&] {
        char buf[512];
        received.append(buf, line->TryRead(buf, sizeof buf));
        return !window->Sending() && received.size() >= content.size();
    }));
    EXPECT_TRUE(handled) << "the window did not handle events while sending";
    EXPECT_TRUE(received == content) << "received " << received.size() << " bytes";
    EXPECT_FALSE(window->CancelSendButton->isVisibleTo(window.get()));
    EXPECT_TRUE(window->SendFileAction->isEnabled());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(TermWindowTest, CancelStopsTheFileAtOnce) {
    auto line = VirtualLine::Create("ZVTERM3");
    line->SetPacing(true);
    Open("ZVTERM3", 1200); // 120 bytes a second
    ASSERT_TRUE(window->Connect());
    fileToChoose = WriteFile("long.txt", std::string(2000, 'q'));
    window->SendFile();
    ASSERT_TRUE(PumpUntil([&] { return line->Available() >= 10; }));
    window->CancelSend();
    EXPECT_FALSE(window->Sending());
    PumpFor(300ms);
    const std::size_t got = line->Available();
    PumpFor(300ms);
    EXPECT_EQ(line->Available(), got) << "bytes still went out after Cancel";
    EXPECT_LT(got, 400u);
    EXPECT_TRUE(Contains(window->statusBar()->currentMessage().toStdString(), "cancelled"));
    EXPECT_TRUE(boxes.empty());
}

// Send file opens only a regular file: a pipe with no writer would hang the open (and the
// window) for ever, a terminal's open moves its lines and its reading never ends. A file larger
// than the limit is refused as well, without being read.
TEST_F(TermWindowTest, SendFileRefusesWhatIsNoRegularFileWithoutOpeningIt) {
    auto line = VirtualLine::Create("ZVTERM9");
    Open("ZVTERM9");
    ASSERT_TRUE(window->Connect());

    const std::string fifo = dir.filePath(QStringLiteral("nowriter.fifo")).toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const QString large = WriteFile("large.bin", "");
    ASSERT_EQ(::truncate(large.toLocal8Bit().constData(), TTermWindow::SendFileLimit + 1), 0);

    struct {
        std::string path;
        std::string message;
        bool unopened;
        // What makes a blocked open or read return when the window does open the file.
        std::function<void()> unblock;
    } const cases[] = {
        {fifo, " is not a regular file but a pipe, nothing was sent", true,
         [&] { ::close(::open(fifo.c_str(), O_RDWR | O_NONBLOCK)); }},
        {slave, " is not a regular file but a device, nothing was sent", true,
         [&] { (void)!::write(master, "\x04", 1); }},
        {large.toStdString(),
         " is 16777217 bytes, larger than 16777216 bytes (16 MiB), nothing was sent", false, [] {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(opens, 0);
        ASSERT_GE(::inotify_add_watch(opens, c.path.c_str(), IN_OPEN), 0);
        // A window that does open it would wait for ever: after 2 s it is let go.
        std::mutex mutex;
        std::condition_variable wake;
        bool done = false;
        std::thread watchdog([&] {
            std::unique_lock<std::mutex> lock(mutex);
            if (!wake.wait_for(lock, 2s, [&] { return done; }))
                c.unblock();
        });
        boxes.clear();
        fileToChoose = QString::fromStdString(c.path);
        window->SendFile();
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        wake.notify_one();
        watchdog.join();

        EXPECT_EQ(boxes.size(), 1u);
        EXPECT_TRUE(!boxes.empty() &&
                    Contains(boxes[0], ("Send file: " + c.path + c.message).c_str()))
            << (boxes.empty() ? "no message" : boxes[0]);
        PumpFor(50ms);
        EXPECT_FALSE(window->Sending());
        EXPECT_EQ(line->Available(), 0u);
        char events[4096];
        if (c.unopened) {
            EXPECT_LT(::read(opens, events, sizeof events), 0) << "it was opened";
        }
        ::close(opens);
    }
    ::close(master);
}

TEST_F(TermWindowTest, WritesAProgramIntoTheBoardAndRefusesABadFile) {
    TSimBoardOptions options;
    options.PortName = "ZVTERMSIM";
    options.Pacing = false;
    TSimBoard board(options);
    Open("ZVTERMSIM");
    ASSERT_TRUE(window->Connect());
    board.ClearTranscript();

    fileToChoose = WriteFile("bad.ihx", HexText(64, 2));
    window->WriteProgram();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0], "not a usable HEX file")) << boxes[0];
    EXPECT_TRUE(Contains(boxes[0], "line 2")) << boxes[0];
    EXPECT_EQ(board.State().Loads, 0u);
    boxes.clear();

    fileToChoose = WriteFile("prog.ihx", HexText(0x300));
    window->WriteProgram();
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    TJudgeOptions judge;
    judge.SlackMs = 200;
    const TBoardVerdict verdict = JudgeTranscript(board.Transcript(), judge);
    EXPECT_TRUE(verdict.Ok()) << FormatTranscript(board.Transcript()) << FormatVerdict(verdict);
    const TBoardState state = board.State();
    EXPECT_EQ(state.Loads, 1u);
    EXPECT_EQ(state.Mode, bmRunning);
    EXPECT_EQ(state.Loaded, 0x301u) << "ImageEnd + 1 bytes";
    EXPECT_TRUE(window->Online()) << "back to the terminal on the same connection";
    EXPECT_TRUE(Contains(window->statusBar()->currentMessage().toStdString(), "prog.ihx"));
    window.reset(); // the port closes before the board goes
}

TEST_F(TermWindowTest, AnUnpluggedDeviceIsReportedOnce) {
    auto line = VirtualLine::Create("ZVTERM4");
    Open("ZVTERM4");
    ASSERT_TRUE(window->Connect());
    line->Unplug();
    ASSERT_TRUE(PumpUntil([&] { return State() == "Disconnected"; }));
    PumpFor(std::chrono::milliseconds(3 * TTermWindow::WatchMs));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes[0], "connection to ZVTERM4 was lost")) << boxes[0];
    EXPECT_TRUE(Contains(boxes[0], "The device is not connected")) << boxes[0];
    EXPECT_FALSE(window->ComPort1->Connected());
    EXPECT_EQ(Led(lsConn), lsOff);
    EXPECT_TRUE(window->ConnectAction->isEnabled());

    // Plugged in again, it connects again.
    line->Plug();
    EXPECT_TRUE(window->Connect());
    EXPECT_EQ(boxes.size(), 1u);
}

// ---- With the terminal -----------------------------------------------------------------------

// What the screen shows, row by row.
std::string ScreenText(TComTerminal& terminal) {
    TMemoryStream text;
    terminal.SaveToStream(text);
    return std::string(text.Data().begin(), text.Data().end());
}

// A key typed into the terminal, as Qt delivers it.
void Type(QWidget& widget, const QString& text) {
    for (const QChar ch : text) {
        const int key = ch == QLatin1Char('\r') ? int(Qt::Key_Return) : ch.toUpper().unicode();
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(ch));
        QCoreApplication::sendEvent(&widget, &press);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(ch));
        QCoreApplication::sendEvent(&widget, &release);
    }
}

TEST_F(TermWindowTest, TypedKeysReachTheFarEndAndReceivedTextReachesTheScreen) {
    auto line = VirtualLine::Create("ZVTERM5");
    Open("ZVTERM5");
    ASSERT_TRUE(window->Connect());
    Type(*window->ComTerminal1, QStringLiteral("AT\r"));
    EXPECT_EQ(line->ReadString(3, 5s), "AT\r");

    line->Write("OK\r\n\x1b[1mbold\x1b[m");
    ASSERT_TRUE(PumpUntil([&] { return ScreenText(*window->ComTerminal1) == "OK\r\nbold"; }))
        << ScreenText(*window->ComTerminal1);

    // Unplugged: reported once, and the screen keeps what it showed.
    line->Unplug();
    ASSERT_TRUE(PumpUntil([&] { return State() == "Disconnected"; }));
    EXPECT_EQ(ScreenText(*window->ComTerminal1), "OK\r\nbold");
    EXPECT_EQ(boxes.size(), 1u);
    // Typing into a closed port sends nothing and reports nothing.
    Type(*window->ComTerminal1, QStringLiteral("x"));
    EXPECT_EQ(boxes.size(), 1u);

    // The screen as a text file; Clear empties it.
    fileToChoose = dir.filePath(QStringLiteral("screen.txt"));
    window->SaveScreen();
    std::ifstream saved(fileToChoose.toStdString(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), "OK\r\nbold");
    window->ClearScreen();
    EXPECT_EQ(ScreenText(*window->ComTerminal1), "");
}

// Every key that types a character goes to the line while the terminal has the focus: no
// shortcut of the window takes it, and Tab does not move the focus away.
TEST_F(TermWindowTest, KeysThatTypeACharacterReachTheLine) {
    auto line = VirtualLine::Create("ZVTERMKEYS");
    Open("ZVTERMKEYS");
    ASSERT_TRUE(window->Connect());
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    TComTerminal& term = *window->ComTerminal1;
    term.setFocus();
    // Each key with the character the keyboard layout gives it (with Ctrl, a control character:
    // QTest's keyClick would give the bare letter), which is what the line must get. The keys go
    // through the window's shortcut handling as a user's keys do.
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        std::string typed;
    } cases[] = {
        {Qt::Key_Q, Qt::ControlModifier, "\x11"}, // XON
        {Qt::Key_Q, Qt::ControlModifier | Qt::ShiftModifier, "\x11"},
        {Qt::Key_S, Qt::ControlModifier, "\x13"}, // XOFF
        {Qt::Key_C, Qt::ControlModifier, "\x03"},
        {Qt::Key_W, Qt::ControlModifier, "\x17"},
        {Qt::Key_Tab, Qt::NoModifier, "\t"},
        {Qt::Key_Backtab, Qt::ShiftModifier, "\t"},
        {Qt::Key_Q, Qt::NoModifier, "q"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QKeySequence(c.key | c.modifiers).toString().toStdString());
        QTest::sendKeyEvent(QTest::Click, &term, c.key, QString::fromStdString(c.typed),
                            c.modifiers);
        EXPECT_EQ(line->ReadString(c.typed.size(), 2s), c.typed);
        PumpFor(20ms);
        EXPECT_TRUE(window->isVisible()) << "the key closed the window";
        EXPECT_EQ(QApplication::focusWidget(), &term) << "the key moved the focus";
        if (!window->isVisible())
            window->show();
        term.setFocus();
    }
    EXPECT_EQ(line->Available(), 0u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(TermWindowTest, TalksToAPseudoTerminal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master))
        GTEST_SKIP() << "no pseudo-terminals on this machine";
    const std::string path = ptsname(master);
    Open(path, 115200);
    ASSERT_TRUE(window->Connect()) << (boxes.empty() ? "" : boxes[0]);
    EXPECT_EQ(window->PortPanel->text().toStdString(), path + "  115200 8-N-1");
    ASSERT_EQ(::write(master, "hello", 5), 5);
    EXPECT_TRUE(PumpUntil([&] { return ScreenText(*window->ComTerminal1) == "hello"; }));
    Type(*window->ComTerminal1, QStringLiteral("hi"));
    std::string got;
    PumpUntil([&] {
        pollfd pfd{master, POLLIN, 0};
        char buf[64];
        if (::poll(&pfd, 1, 0) > 0) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
        }
        return got.size() >= 2;
    });
    EXPECT_EQ(got, "hi");
    window->Disconnect();
    ::close(master);
    EXPECT_TRUE(boxes.empty());
}

// The window is sized to the terminal's whole screen grid, but never beyond the screen.
TEST_F(TermWindowTest, TheWindowFitsTheScreen) {
    Open("ZVTERMFIT");
    PumpFor(50ms);
    const QSize room = window->screen()->availableSize();
    EXPECT_LE(window->width(), room.width());
    EXPECT_LE(window->height(), room.height());
}

TEST_F(TermWindowTest, RemembersThePortAndTheTerminalAcrossTwoLifetimes) {
    auto line = VirtualLine::Create("ZVTERM6");
    // A first start without remembered settings takes the default port.
    window = std::make_unique<TTermWindow>(TTermStart{}, "ZVTERMDEFAULT");
    EXPECT_EQ(window->ComPort1->Port(), "ZVTERMDEFAULT");
    window.reset();

    Open("ZVTERM6", 57600);
    TComTerminal& term = *window->ComTerminal1;
    term.LocalEcho = true;
    term.AppendLF = true;
    term.SetEmulation(teVT52);
    term.SetColumns(100);
    term.SetRows(30);
    window->ComPort1->Parity()->SetBits(prEven);
    ASSERT_TRUE(window->Connect());
    window->close();
    window.reset();

    window = std::make_unique<TTermWindow>(TTermStart{}, "ZVTERMDEFAULT");
    EXPECT_EQ(window->ComPort1->Port(), "ZVTERM6");
    EXPECT_EQ(window->ComPort1->BaudRate(), br57600);
    EXPECT_EQ(window->ComPort1->Parity()->Bits(), prEven);
    TComTerminal& again = *window->ComTerminal1;
    EXPECT_TRUE(again.LocalEcho);
    EXPECT_TRUE(again.AppendLF);
    EXPECT_FALSE(again.SendLF);
    EXPECT_EQ(again.Emulation(), teVT52);
    EXPECT_EQ(again.Columns(), 100);
    EXPECT_EQ(again.Rows(), 30);
    window.reset();

    // The command line wins over what was remembered.
    Open("ZVTERM7", 1200);
    EXPECT_EQ(window->ComPort1->Port(), "ZVTERM7");
    EXPECT_EQ(window->ComPort1->BaudRate(), br1200);
    EXPECT_EQ(window->ComPort1->Parity()->Bits(), prEven);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// A setting the device refuses is reported; the port keeps the settings in force, and those
// are what the next start finds.
TEST_F(TermWindowTest, ASettingTheDeviceRefusesIsNotRemembered) {
    auto line = VirtualLine::Create("ZVTERM8");
    Open("ZVTERM8");
    ASSERT_TRUE(window->Connect());
    TCustomComPort::SetSetupDialog([](TCustomComPort* port) {
        port->SetStopBits(sbOne5StopBits); // refused with eight data bits
        return true;
    });
    window->PortSettings();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes.front(), "Port settings")) << boxes.front();
    EXPECT_EQ(window->ComPort1->StopBits(), sbOneStopBit);
    EXPECT_TRUE(window->ComPort1->Connected());
    window->close();
    window.reset();
    Open("ZVTERM8");
    EXPECT_EQ(window->ComPort1->StopBits(), sbOneStopBit);
}

TEST_F(TermWindowTest, UnreadableSettingsAreReportedAndTheWindowStarts) {
    // A configuration "folder" that is a file: nothing can be read or written there.
    WriteFile("config", "not a folder");
    Open("ZVTERM8");
    PumpFor(50ms);
    window->close();
    ASSERT_FALSE(boxes.empty());
    EXPECT_TRUE(Contains(boxes.back(), "Saving the settings failed")) << boxes.back();
    EXPECT_EQ(window->ComPort1->Port(), "ZVTERM8");
}

} // namespace
} // namespace zv
