// The download and reset sequences end to end: a port configured as the main window's ComPort1,
// the simulated board at the other end of a virtual line, and the board's verdict.
//
// The waits are real (a download takes about 1.25 s). The board's judge accepts each 250 ms
// wait from 210 ms up; on the late side these tests give it a wide slack (up to 490 ms) so that a
// busy machine does not fail them, while a wait left out or doubled is still caught.
#include "app/core/Download.h"

#include "cport/ComPort.h"
#include "cport/EnumComPorts.h"
#include "platform/VirtualLine.h"
#include "simboard/SimBoard.h"
#include "toolkit/Strings.h"
#include "toolkit/Thread.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace zv;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Records what a download reports, in order.
class Recorder : public TDownloadObserver {
public:
    std::vector<std::string> Calls;
    std::vector<std::size_t> Sent;
    bool Progressing = false;
    HexLoadReport Refused;
    HANDLE Stop = nullptr;

    HANDLE StopEvent() const override { return Stop; }

    void Status(std::string_view text, bool repaint) override {
        Calls.push_back("status " + std::string(text) + (repaint ? "" : " (no repaint)"));
    }
    void ImageEnd(std::uint32_t imageEnd) override {
        Calls.push_back("image end " + std::to_string(imageEnd));
    }
    void FileOpenFailed(const std::string&, DWORD error) override {
        Calls.push_back("cannot open, error " + std::to_string(error));
    }
    void FileRefused(const std::string&, const HexLoadReport& report) override {
        Refused = report;
        Calls.push_back("refused: " + HexProblemText(report));
    }
    bool WantsProgress() const override { return Progressing; }
    void Progress(std::size_t sent, std::size_t total) override {
        Sent.push_back(sent);
        EXPECT_LE(sent, total);
    }
};

// A board on its own line and a port set up as ComPort1, pointed at that line.
class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        TSimBoardOptions options;
        options.PortName = "SIMDL";
        options.Pacing = true;
        board_ = std::make_unique<TSimBoard>(options);
        ConfigureBoardPort(port_);
        // No main loop runs in these tests to take the event thread's hand-offs.
        port_.SetEvents(TComEvents{});
        port_.SetPort("SIMDL");
        dir_ = fs::temp_directory_path() / ("zv-download-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        port_.Close();
        fs::remove_all(dir_);
    }

    std::string WriteHex(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    static HexImage Load(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        HexImage image;
        EXPECT_TRUE(LoadHexBytes(Bytes(text.begin(), text.end()), image).Usable());
        return image;
    }

    TBoardVerdict Judge(const Bytes& image) {
        TJudgeOptions options;
        options.SlackMs = 200;
        options.Image = image;
        return JudgeTranscript(board_->Transcript(), options);
    }

    std::size_t Count(TBoardEventKind kind) {
        std::size_t n = 0;
        for (const TBoardEvent& e : board_->Transcript().Events)
            n += e.Kind == kind;
        return n;
    }

    std::unique_ptr<TSimBoard> board_;
    TComPort port_;
    fs::path dir_;
};

// Intel HEX for `bytes` at address 0, 16 bytes a record, CR LF line ends.
std::string HexFor(const Bytes& bytes) {
    std::string text;
    char line[64];
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        const std::size_t n = std::min<std::size_t>(16, bytes.size() - at);
        unsigned sum = static_cast<unsigned>(n + (at >> 8) + (at & 0xFF));
        std::snprintf(line, sizeof line, ":%02X%04X00", static_cast<unsigned>(n),
                      static_cast<unsigned>(at));
        text += line;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(line, sizeof line, "%02X", unsigned{bytes[at + i]});
            text += line;
            sum += bytes[at + i];
        }
        std::snprintf(line, sizeof line, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    }
    return text + ":00000001FF\r\n";
}

TEST_F(DownloadTest, ExampleReachesTheBoardAsTheProtocolSays) {
    const std::string path = std::string(ZELVATOR_SOURCE_DIR) + "/examples/hello/hello.ihx";
    const HexImage expected = Load(path);
    const Bytes image(expected.DownloadBytes().begin(), expected.DownloadBytes().end());

    Recorder recorder;
    EXPECT_EQ(RunDownload(port_, path, recorder), drDone);
    const std::vector<std::string> calls = {
        "status Read File (no repaint)",
        "status File is Redy",
        "status File Transfer",
        "image end " + std::to_string(expected.ImageEnd),
        "status RUN",
    };
    EXPECT_EQ(recorder.Calls, calls);
    EXPECT_TRUE(port_.Connected()) << "the port stays open";

    const TBoardVerdict verdict = Judge(image);
    EXPECT_TRUE(verdict.Ok()) << FormatTranscript(board_->Transcript()) << FormatVerdict(verdict);
    ASSERT_EQ(verdict.Downloads.size(), 1u);
    EXPECT_EQ(verdict.Downloads[0].Bytes, expected.ImageEnd + std::size_t{1});

    const TBoardState state = board_->State();
    EXPECT_EQ(state.Mode, bmRunning);
    ASSERT_EQ(state.Loaded, image.size());
    EXPECT_EQ(Bytes(state.Memory.begin(), state.Memory.begin() + static_cast<long>(image.size())),
              image);

    // Idle after the download: RTS on, DTR off.
    EXPECT_TRUE(board_->Line().Rts());
    EXPECT_FALSE(board_->Line().Dtr());
}

TEST_F(DownloadTest, SecondDownloadRepeatsTheFramingOnTheOpenPort) {
    const Bytes image = {0x02, 0x00, 0x03, 0x80, 0xFE, 0x00};
    const std::string path = WriteHex("six.ihx", HexFor({0x02, 0x00, 0x03, 0x80, 0xFE}));
    Recorder first;
    Recorder second;
    ASSERT_EQ(RunDownload(port_, path, first), drDone);
    ASSERT_EQ(RunDownload(port_, path, second), drDone);
    EXPECT_EQ(first.Calls, second.Calls);

    EXPECT_EQ(Count(beOpen), 1u) << "the second download must not reopen the port";
    EXPECT_EQ(Count(beClose), 0u);
    const TBoardVerdict verdict = Judge(image);
    EXPECT_TRUE(verdict.Ok()) << FormatTranscript(board_->Transcript()) << FormatVerdict(verdict);
    EXPECT_EQ(verdict.Downloads.size(), 2u);
}

TEST_F(DownloadTest, ImageEndZeroSendsOneByte) {
    const std::string path = WriteHex("empty.ihx", ":00000001FF\r\n");
    Recorder recorder;
    ASSERT_EQ(RunDownload(port_, path, recorder), drDone);
    EXPECT_EQ(recorder.Calls.at(3), "image end 0");
    const TBoardVerdict verdict = Judge(Bytes{0x00});
    EXPECT_TRUE(verdict.Ok()) << FormatTranscript(board_->Transcript()) << FormatVerdict(verdict);
    ASSERT_EQ(verdict.Downloads.size(), 1u);
    EXPECT_EQ(verdict.Downloads[0].Bytes, 1u);
}

TEST_F(DownloadTest, ProgressIsReportedDuringTheOneWrite) {
    Bytes data(700);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    const std::string path = WriteHex("big.ihx", HexFor(data));
    Bytes image = data;
    image.push_back(0x00);

    Recorder recorder;
    recorder.Progressing = true;
    ASSERT_EQ(RunDownload(port_, path, recorder), drDone);
    ASSERT_GE(recorder.Sent.size(), 2u);
    EXPECT_EQ(recorder.Sent.front(), 0u);
    EXPECT_EQ(recorder.Sent.back(), image.size());
    EXPECT_TRUE(std::is_sorted(recorder.Sent.begin(), recorder.Sent.end()));

    const TBoardVerdict verdict = Judge(image);
    EXPECT_TRUE(verdict.Ok()) << FormatVerdict(verdict);
    EXPECT_EQ(board_->State().Loaded, image.size());
}

TEST_F(DownloadTest, FileThatCannotBeOpenedEndsTheCommand) {
    Recorder recorder;
    EXPECT_EQ(RunDownload(port_, (dir_ / "missing.ihx").string(), recorder), drFileNotOpened);
    EXPECT_EQ(recorder.Calls, std::vector<std::string>{"cannot open, error 2"});
    EXPECT_TRUE(port_.Connected()) << "the port is opened before the file";

    // Nothing after the open's own line setting: no reset pulse, no byte.
    board_->ClearTranscript();
    port_.Close();
    const TBoardTranscript t = board_->Transcript();
    ASSERT_EQ(t.Events.size(), 1u) << FormatTranscript(t);
    EXPECT_EQ(t.Events[0].Kind, beClose);
    EXPECT_EQ(board_->State().Loads, 0u);
}

TEST_F(DownloadTest, UnusableFileIsRefusedBeforeTheLineIsTouched) {
    const struct {
        const char* name;
        std::string text;
        unsigned line;
        const char* problem;
    } cases[] = {
        {"checksum", ":0300000002000600\r\n:00000001FF\r\n", 1, "checksum"},
        {"malformed", ":03000000020006F5\r\n:0300030002zz\r\n:00000001FF\r\n", 2, "malformed"},
        {"outside", ":03000000020006F5\r\n:0180E800FF98\r\n:00000001FF\r\n", 2, "outside"},
    };
    ASSERT_NO_THROW(port_.Open());
    board_->ClearTranscript();
    for (const auto& c : cases) {
        Recorder recorder;
        const std::string path = WriteHex(std::string(c.name) + ".ihx", c.text);
        EXPECT_EQ(RunDownload(port_, path, recorder), drFileRefused) << c.name;
        ASSERT_EQ(recorder.Calls.size(), 2u) << c.name;
        EXPECT_EQ(recorder.Calls[0], "status Read File (no repaint)");
        EXPECT_NE(recorder.Calls[1].find("line " + std::to_string(c.line)), std::string::npos)
            << recorder.Calls[1];
        EXPECT_NE(recorder.Calls[1].find(c.problem), std::string::npos) << recorder.Calls[1];
        EXPECT_FALSE(recorder.Refused.Usable());
    }
    EXPECT_TRUE(board_->Transcript().Events.empty()) << FormatTranscript(board_->Transcript());
}

// A path that names a device (a port typed where the file goes) is refused from a look at it:
// opening it would move that device's lines.
TEST_F(DownloadTest, WhatIsNoRegularFileIsRefusedUnopened) {
    const std::string fifo = (dir_ / "board.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(::inotify_add_watch(opens, fifo.c_str(), IN_OPEN), 0);
    ASSERT_NO_THROW(port_.Open());
    board_->ClearTranscript();
    Recorder recorder;
    EXPECT_EQ(RunDownload(port_, fifo, recorder), drFileRefused);
    EXPECT_EQ(recorder.Calls,
              (std::vector<std::string>{"status Read File (no repaint)",
                                        "refused: not a regular file but a pipe; a HEX file is "
                                        "read only from a regular file"}));
    char events[4096];
    EXPECT_LT(::read(opens, events, sizeof events), 0) << "the pipe was opened";
    ::close(opens);
    EXPECT_TRUE(board_->Transcript().Events.empty()) << FormatTranscript(board_->Transcript());
}

// A stop ends the sequence where it is, says how far it got and releases the board from reset;
// released during a pulse with RTS on, the board starts its program, and the message says so.
TEST_F(DownloadTest, AStopEndsTheSequenceWithDtrOff) {
    const struct {
        const char* name;
        std::size_t bytes;   // in the HEX file; 0: the Reset command
        int stopAfterMs;     // into the sequence; -1: set before it begins
        std::string message; // the start of EDownloadStopped's; "#" stands for the total
        bool started;        // the board runs its program afterwards
    } cases[] = {
        {"before the sequence", 100, -1, "Stopped: 0 of # bytes were sent", false},
        {"load reset", 100, 100, "Stopped: 0 of # bytes were sent", false},
        {"transfer (1000 bytes take 1 s)", 1000, 900, "Stopped: ", false},
        {"after the write", 10, 640, "Stopped after all # bytes were sent, before the board was",
         false},
        {"run reset", 10, 880, "Stopped after all # bytes were sent, during the run reset", true},
        {"Reset command", 0, 150, "Stopped during the reset pulse", true},
        {"before the Reset command's pulse", 0, 0, "Stopped before the reset ended", false},
    };
    ASSERT_NO_THROW(port_.Open());
    // A program in the board that a stop before the sequence must leave there.
    Recorder complete;
    SendImage(port_, Load(WriteHex("kept.hex", HexFor(Bytes(10, 0xAA)))), complete);
    const Bytes kept = board_->StoredImage();
    ASSERT_FALSE(kept.empty());
    const HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetEvent(stop);
        board_->ClearTranscript();
        Recorder recorder;
        recorder.Stop = stop;
        const std::string hex = HexFor(Bytes(c.bytes, 0x55));
        HexImage image;
        ASSERT_TRUE(LoadHexBytes(Bytes(hex.begin(), hex.end()), image).Usable());
        std::string want = c.message;
        if (const auto at = want.find('#'); at != std::string::npos)
            want.replace(at, 1, std::to_string(image.DownloadBytes().size()));
        if (c.stopAfterMs < 0)
            SetEvent(stop);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::max(c.stopAfterMs, 0)));
            SetEvent(stop);
        });
        std::string message;
        bool started = !c.started;
        try {
            if (c.bytes == 0)
                ResetBoard(port_, stop);
            else
                SendImage(port_, image, recorder);
        } catch (const EDownloadStopped& e) {
            message = e.what();
            started = e.Started();
        }
        stopper.join();
        EXPECT_EQ(message.rfind(want, 0), 0u) << message;
        const TBoardTranscript t = board_->Transcript();
        EXPECT_FALSE(!t.Events.empty() && t.Events.back().Dtr) << FormatTranscript(t);
        if (c.stopAfterMs < 0) {
            EXPECT_TRUE(t.Events.empty()) << FormatTranscript(t);
            EXPECT_EQ(board_->StoredImage(), kept);
        }
        const TBoardState state = ReplayTranscript(t);
        EXPECT_EQ(state.Runs, c.started ? 1u : 0u) << FormatTranscript(t);
        EXPECT_EQ(state.Mode == bmRunning, c.started) << BoardModeName(state.Mode);
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(message.find("started the program after a shortened reset pulse") !=
                          std::string::npos ||
                      message.find("restarted its program after a shortened reset pulse") !=
                          std::string::npos,
                  c.started)
            << message;
    }
    CloseHandle(stop);
}

TEST_F(DownloadTest, ResetPulsesDtrAndLeavesRts) {
    port_.Open();
    board_->ClearTranscript();
    ResetBoard(port_);
    const TBoardTranscript t = board_->Transcript();
    ASSERT_EQ(t.Events.size(), 2u) << FormatTranscript(t);
    EXPECT_EQ(t.Events[0].Kind, beDtr);
    EXPECT_TRUE(t.Events[0].Level);
    EXPECT_EQ(t.Events[1].Kind, beDtr);
    EXPECT_FALSE(t.Events[1].Level);
    EXPECT_TRUE(t.Events[1].Rts) << "RTS stays on";
    TJudgeOptions options;
    options.SlackMs = 200;
    const TBoardVerdict verdict = JudgeTranscript(t, options);
    EXPECT_TRUE(verdict.Ok()) << FormatVerdict(verdict);
    EXPECT_EQ(verdict.Resets, 1u);
    EXPECT_EQ(board_->State().Mode, bmRunning);
}

TEST_F(DownloadTest, ResetBeforeAnyDownloadReportsTheLineControlError) {
    try {
        ResetBoard(port_);
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 12);
        EXPECT_EQ(e.OsErrorCode(), 6); // ERROR_INVALID_HANDLE
        EXPECT_STREQ(e.what(), "EscapeCommFunction function failed (win error code: 6)");
    }
    EXPECT_FALSE(port_.Connected()) << "Reset does not open the port";
    EXPECT_TRUE(board_->Transcript().Events.empty());
}

TEST_F(DownloadTest, AbsentPortStopsBeforeTheFileIsRead) {
    port_.SetPort("ZVNOSUCHPORT");
    Recorder recorder;
    const std::string path = WriteHex("one.ihx", HexFor({1}));
    try {
        RunDownload(port_, path, recorder);
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 1);
        EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
    }
    EXPECT_TRUE(recorder.Calls.empty());
}

TEST_F(DownloadTest, TheBoardIsListedWithThePorts) {
    TStringList ports;
    EnumComPorts(&ports);
    EXPECT_GE(ports.IndexOf("SIMDL"), 0);
}

} // namespace

namespace {

// The window's port runs an event thread that hands every line event to the main thread; the
// download blocks the main thread, so the hand-offs wait until it is done, as in the window.
TEST(DownloadWithEventThread, CompletesAndClosesWhileHandOffsWait) {
    TSimBoardOptions options;
    options.PortName = "SIMEV";
    options.Pacing = false;
    TSimBoard board(options);
    TComPort port;
    ConfigureBoardPort(port);
    port.SetPort("SIMEV");
    int events = 0;
    port.OnTxEmpty = [&](TObject*) { ++events; };
    const std::string path = std::string(ZELVATOR_SOURCE_DIR) + "/examples/blink/blink.ihx";
    TDownloadObserver quiet;
    ASSERT_EQ(RunDownload(port, path, quiet), drDone);
    EXPECT_TRUE(port.ThreadCreated());
    // The handler runs only once the main thread takes the hand-offs again.
    EXPECT_EQ(events, 0);
    while (CheckSynchronize(100)) {
    }
    EXPECT_GE(events, 1) << "the write's evTxEmpty";
    port.Close();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(JudgeTranscript(board.Transcript()).Downloads.size(), 1u);
}

} // namespace

namespace {

// Write time-outs shorter than the line needs end the write early: the download must stop
// there with an error, not start the board on part of its program.
TEST_F(DownloadTest, WriteThatTimesOutStopsTheDownload) {
    port_.Timeouts()->SetWriteTotalMultiplier(0);
    port_.Timeouts()->SetWriteTotalConstant(100);
    const std::string path = WriteHex("big.ihx", HexFor(Bytes(700, 0x5A)));
    for (bool progress : {false, true}) {
        SCOPED_TRACE(progress ? "with progress" : "plain write");
        Recorder recorder;
        recorder.Progressing = progress;
        try {
            RunDownload(port_, path, recorder);
            FAIL() << "no error";
        } catch (const EDownload& e) {
            EXPECT_LT(e.Sent(), 701u);
            EXPECT_EQ(e.Total(), 701u);
            EXPECT_NE(std::string(e.what()).find("of 701 bytes were sent"), std::string::npos)
                << e.what();
        }
        EXPECT_EQ(recorder.Calls.back(), "image end 700") << "no RUN";
        // Reset the board's view for the next round.
        port_.ClearBuffer(false, true);
        const TBoardVerdict verdict = JudgeTranscript(board_->Transcript());
        EXPECT_TRUE(verdict.Downloads.empty());
        EXPECT_EQ(board_->State().Mode, bmLoading) << "no run reset after a failed write";
        board_->ClearTranscript();
    }
}

} // namespace

namespace {

// A port failure ends the sequence where it happens: the port's error reaches the caller, the
// board is never started. Which step fails depends on when the plug is pulled; every one raises.
TEST_F(DownloadTest, PortFailureDuringTheDownloadEndsIt) {
    const std::string path = WriteHex("big.ihx", HexFor(Bytes(700, 0x11)));
    port_.Open();
    std::thread unplug([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        board_->Line().Unplug();
    });
    Recorder recorder;
    try {
        RunDownload(port_, path, recorder);
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        EXPECT_NE(std::string(e.what()).find("(win error code: 1167)"), std::string::npos)
            << e.what(); // ERROR_DEVICE_NOT_CONNECTED
    }
    unplug.join();
    EXPECT_NE(recorder.Calls.back(), "status RUN");
    EXPECT_TRUE(JudgeTranscript(board_->Transcript()).Downloads.empty());
    board_->Line().Plug();
}

} // namespace
