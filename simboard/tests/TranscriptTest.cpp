// The judge and the replay on hand-made transcripts: "these line changes and bytes, at these
// times, give this verdict".
#include "simboard/Transcript.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using namespace zv;
using Clock = TBoardEvent::Clock;
using Bytes = std::vector<std::uint8_t>;

// Builds a transcript with times in milliseconds from an arbitrary origin.
class Script {
public:
    Script() { t_.PortName = "SIM"; }

    Script& Open(double ms, bool rts, bool dtr) {
        rts_ = rts;
        dtr_ = dtr;
        return Add(ms, beOpen, true);
    }
    Script& Close(double ms) { return Add(ms, beClose, false); }
    Script& Rts(double ms, bool level) {
        rts_ = level;
        return Add(ms, beRts, level);
    }
    Script& Dtr(double ms, bool level) {
        dtr_ = level;
        return Add(ms, beDtr, level);
    }
    Script& Data(double ms, Bytes bytes, double lastMs = -1) {
        Add(ms, beData, false);
        t_.Events.back().Bytes = std::move(bytes);
        t_.Events.back().LastTime = At(lastMs < 0 ? ms : lastMs);
        return *this;
    }

    // A download as the protocol wants it, starting at `ms`; returns the time it ends.
    double Download(double ms, const Bytes& image, double pulse = 250) {
        Rts(ms, false).Dtr(ms + 0.1, true).Dtr(ms + 0.1 + pulse, false);
        const double first = ms + 0.1 + 2 * pulse + 1;
        const double last = first + static_cast<double>(image.size()) - 1;
        Data(first, image, last);
        const double run = last + pulse;
        Rts(run, true).Dtr(run + 0.1, true).Dtr(run + 0.1 + pulse, false);
        return run + 0.1 + pulse;
    }

    const TBoardTranscript& Transcript() const { return t_; }

private:
    Clock::time_point At(double ms) const {
        return origin_ + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double, std::milli>(ms));
    }
    Script& Add(double ms, TBoardEventKind kind, bool level) {
        TBoardEvent e;
        e.Kind = kind;
        e.Time = At(ms);
        e.LastTime = e.Time;
        e.Level = level;
        e.Rts = rts_;
        e.Dtr = dtr_;
        t_.Events.push_back(e);
        return *this;
    }

    TBoardTranscript t_;
    Clock::time_point origin_ = Clock::now();
    bool rts_ = false;
    bool dtr_ = false;
};

const Bytes kImage = {0x02, 0x00, 0x30, 0x75, 0x81};

std::string AllDeviations(const TBoardVerdict& verdict) {
    std::string text;
    for (const std::string& d : verdict.Deviations)
        text += d + "\n";
    return text;
}

TEST(Judge, DownloadByTheProtocolIsAccepted) {
    Script s;
    s.Open(0, true, false);
    const double end = s.Download(100, kImage);
    s.Close(end + 100);
    TJudgeOptions options;
    options.Image = kImage;
    const TBoardVerdict v = JudgeTranscript(s.Transcript(), options);
    EXPECT_TRUE(v.Ok()) << AllDeviations(v);
    ASSERT_EQ(v.Downloads.size(), 1u);
    EXPECT_EQ(v.Downloads[0].Bytes, kImage.size());
    EXPECT_NEAR(v.Downloads[0].LoadResetMs, 250, 0.01);
    EXPECT_NEAR(v.Downloads[0].SettleMs, 251, 0.01);
    EXPECT_NEAR(v.Downloads[0].AfterWriteMs, 250, 0.01);
    EXPECT_NEAR(v.Downloads[0].RunResetMs, 250, 0.01);
    EXPECT_NE(FormatVerdict(v).find("verdict: OK (1 download, 0 resets"), std::string::npos)
        << FormatVerdict(v);
}

TEST(Judge, EdgesOfTheToleranceWindow) {
    // Accepted from 210 to 350 ms with the default tolerance and slack.
    const struct {
        double pulse;
        bool ok;
    } cases[] = {{209, false}, {211, true}, {349, true}, {351, false}};
    for (const auto& c : cases) {
        Script s;
        s.Open(0, true, false);
        s.Download(100, kImage, c.pulse);
        const TBoardVerdict v = JudgeTranscript(s.Transcript());
        EXPECT_EQ(v.Ok(), c.ok) << c.pulse << " ms\n" << AllDeviations(v);
    }
}

// A correct download with one thing changed, and what the verdict must say about it.
struct Fault {
    const char* name;
    std::function<void(Script&)> run;
    const char* deviation;
};

TEST(Judge, EachDeviationIsNamed) {
    const std::vector<Fault> faults = {
        {"short load reset",
         [](Script& s) {
             s.Rts(100, false).Dtr(100, true).Dtr(220, false).Data(471, kImage);
             s.Rts(721, true).Dtr(721, true).Dtr(971, false);
         },
         "load reset pulse 120.0 ms"},
        {"no settle",
         [](Script& s) {
             s.Rts(100, false).Dtr(100, true).Dtr(350, false).Data(360, kImage);
             s.Rts(610, true).Dtr(610, true).Dtr(860, false);
         },
         "settle before the first byte 10.0 ms"},
        {"run reset right after the write",
         [](Script& s) {
             s.Rts(100, false).Dtr(100, true).Dtr(350, false).Data(600, kImage);
             s.Rts(601, true).Dtr(601, true).Dtr(851, false);
         },
         "wait after the last byte 1.0 ms"},
        {"long run reset",
         [](Script& s) {
             s.Rts(100, false).Dtr(100, true).Dtr(350, false).Data(600, kImage);
             s.Rts(850, true).Dtr(850, true).Dtr(1350, false);
         },
         "run reset pulse 500.0 ms"},
        {"one byte short (ImageEnd instead of ImageEnd + 1)",
         [](Script& s) { s.Download(100, Bytes(kImage.begin(), kImage.end() - 1)); },
         "4 bytes arrived, expected 5 (image end 4 + 1)"},
        {"a wrong byte",
         [](Script& s) {
             s.Download(100, {0x02, 0x00, 0x31, 0x75, 0x81});
         },
         "byte at address 0x0002 is 0x31, expected 0x30"},
        {"RTS moves during the pulse",
         [](Script& s) {
             s.Dtr(100, true).Rts(200, false).Dtr(350, false).Data(600, kImage);
             s.Rts(850, true).Dtr(850, true).Dtr(1100, false);
         },
         "RTS went off during a reset pulse"},
        {"bytes while DTR is on",
         [](Script& s) { s.Rts(100, false).Dtr(100, true).Data(200, kImage).Dtr(350, false); },
         "5 bytes arrived during a reset pulse"},
        {"bytes without a load reset", [](Script& s) { s.Data(100, kImage); },
         "5 bytes arrived while the board was not reset yet, not loading"},
        {"closed during the load",
         [](Script& s) { s.Rts(100, false).Dtr(100, true).Dtr(350, false).Data(600, kImage); },
         "the port closed during a load"},
        {"no byte between the resets",
         [](Script& s) {
             s.Rts(100, false).Dtr(100, true).Dtr(350, false);
             s.Rts(850, true).Dtr(850, true).Dtr(1100, false);
         },
         "no byte arrived between the load reset and the run reset"},
        {"bytes after RTS went on",
         [](Script& s) {
             s.Rts(100, false).Dtr(100, true).Dtr(350, false).Data(600, kImage);
             s.Rts(850, true).Data(860, {1}).Dtr(860, true).Dtr(1110, false);
         },
         "1 byte arrived after RTS went on"},
    };
    for (const Fault& f : faults) {
        Script s;
        s.Open(-1000, true, false); // well before, so no pulse is taken for the open's own
        f.run(s);
        s.Close(3000);
        TJudgeOptions options;
        options.Image = kImage;
        const TBoardVerdict v = JudgeTranscript(s.Transcript(), options);
        EXPECT_NE(AllDeviations(v).find(f.deviation), std::string::npos) << f.name << ": got\n"
                                                                         << AllDeviations(v);
        EXPECT_NE(FormatVerdict(v).find("DEVIATION"), std::string::npos) << f.name;
    }
}

TEST(Judge, ResetCommandAndRepeatedDownloads) {
    Script s;
    s.Open(0, true, false);
    double t = s.Download(100, kImage);
    s.Dtr(t + 500, true).Dtr(t + 750, false); // the Reset command
    t = s.Download(t + 1000, kImage);
    s.Close(t + 10);
    TJudgeOptions options;
    options.Image = kImage;
    const TBoardVerdict v = JudgeTranscript(s.Transcript(), options);
    EXPECT_TRUE(v.Ok()) << AllDeviations(v);
    EXPECT_EQ(v.Downloads.size(), 2u);
    EXPECT_EQ(v.Resets, 1u);
}

TEST(Judge, LineMovementsAtOpenAndCloseAreNotesNotDeviations) {
    Script s;
    // The platform raises DTR as it opens the device and the settings drop it at once.
    s.Open(0, true, true).Dtr(0.5, false);
    const double end = s.Download(100, kImage);
    s.Dtr(end + 300, true).Close(end + 301); // a driver that raises DTR as it closes
    const TBoardVerdict v = JudgeTranscript(s.Transcript());
    EXPECT_TRUE(v.Ok()) << AllDeviations(v);
    ASSERT_EQ(v.Notes.size(), 2u);
    EXPECT_NE(v.Notes[0].find("DTR pulse of 0.5 ms as the port opened"), std::string::npos)
        << v.Notes[0];
    EXPECT_NE(v.Notes[1].find("DTR still on when the port closed"), std::string::npos)
        << v.Notes[1];
}

TEST(Judge, TranscriptThatBeginsDuringAReset) {
    // Recording began while DTR was on and RTS off: only the end of that load reset is known.
    Script s;
    s.Data(250, kImage, 254).Rts(504, true).Dtr(504, true).Dtr(754, false);
    TBoardTranscript t = s.Transcript();
    t.InitialDtr = true;
    t.Events.insert(t.Events.begin(), t.Events.front());
    t.Events.front().Kind = beDtr;
    t.Events.front().Level = false;
    t.Events.front().Time -= std::chrono::milliseconds(250);
    const TBoardVerdict v = JudgeTranscript(t);
    EXPECT_TRUE(v.Ok()) << AllDeviations(v);
    ASSERT_EQ(v.Downloads.size(), 1u);
    EXPECT_EQ(v.Downloads[0].Bytes, kImage.size());
    EXPECT_EQ(ReplayTranscript(t, 16).Loaded, kImage.size());
    EXPECT_NE(FormatTranscript(t).find("end of a reset that began earlier, board loads"),
              std::string::npos)
        << FormatTranscript(t);
}

TEST(Replay, LoadStoresFromAddressZeroAndRunKeepsMemory) {
    Script s;
    s.Open(0, true, false);
    double t = s.Download(100, kImage);
    s.Data(t + 10, {0xEE}); // bytes while running are the program's input, never stored
    TBoardState state = ReplayTranscript(s.Transcript(), 16);
    EXPECT_EQ(state.Mode, bmRunning);
    EXPECT_EQ(state.Loads, 1u);
    EXPECT_EQ(state.Runs, 1u);
    EXPECT_EQ(state.Loaded, kImage.size());
    EXPECT_EQ(Bytes(state.Memory.begin(), state.Memory.begin() + 5), kImage);
    EXPECT_EQ(state.Memory[5], 0);

    // A second, shorter load starts again at address 0 and leaves the rest as it was.
    t = s.Download(t + 100, {0xAA, 0xBB});
    state = ReplayTranscript(s.Transcript(), 16);
    EXPECT_EQ(state.Loaded, 2u);
    EXPECT_EQ(Bytes(state.Memory.begin(), state.Memory.begin() + 5),
              (Bytes{0xAA, 0xBB, 0x30, 0x75, 0x81}));

    // More bytes than memory: counted, not stored.
    s.Download(t + 100, Bytes(20, 0x11));
    state = ReplayTranscript(s.Transcript(), 16);
    EXPECT_EQ(state.Loaded, 16u);
    EXPECT_EQ(state.Overflow, 4u);
}

TEST(Replay, HeldInResetWhileDtrIsOn) {
    Script s;
    s.Open(0, true, false).Rts(10, false).Dtr(20, true).Data(30, {1, 2});
    const TBoardState state = ReplayTranscript(s.Transcript(), 16);
    EXPECT_EQ(state.Mode, bmReset);
    EXPECT_EQ(state.Loaded, 0u);
}

TEST(Format, OneLinePerEventWithLevels) {
    Script s;
    s.Open(0, true, false);
    s.Download(100, kImage);
    const std::string text = FormatTranscript(s.Transcript());
    EXPECT_NE(text.find("SIM: transcript"), std::string::npos) << text;
    EXPECT_NE(text.find("       0.0   on  off  port opened"), std::string::npos) << text;
    EXPECT_NE(text.find("     100.1  off   on  DTR on: reset"), std::string::npos) << text;
    EXPECT_NE(text.find("DTR off: reset pulse 250.0 ms, board loads"), std::string::npos) << text;
    EXPECT_NE(text.find("received 5 bytes in 4.0 ms: 02 00 30 75 81"), std::string::npos) << text;
    EXPECT_NE(text.find("board runs"), std::string::npos) << text;
}

} // namespace
