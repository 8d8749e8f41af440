// The live board: a near end driven through the Win32 calls, the board's transcript and memory.
#include "simboard/SimBoard.h"

#include "platform/VirtualLine.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace zv;
using Bytes = std::vector<std::uint8_t>;

HANDLE OpenNear(const char* name) {
    const std::string path = std::string("\\\\.\\") + name;
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

void Escape(HANDLE h, DWORD function) {
    ASSERT_TRUE(EscapeCommFunction(h, function)) << "function " << function;
}

void WriteBytes(HANDLE h, const Bytes& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
}

std::vector<TBoardEventKind> Kinds(const TBoardTranscript& t) {
    std::vector<TBoardEventKind> kinds;
    for (const TBoardEvent& e : t.Events)
        kinds.push_back(e.Kind);
    return kinds;
}

TSimBoardOptions Unpaced(std::string name = "SIMTEST") {
    TSimBoardOptions options;
    options.PortName = std::move(name);
    options.Pacing = false;
    return options;
}

TEST(SimBoard, RecordsTheLoadFramingAndStoresTheBytes) {
    TSimBoard board(Unpaced());
    const HANDLE h = OpenNear("SIMTEST");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    Escape(h, SETRTS); // idle: RTS on, DTR off
    Escape(h, CLRDTR);
    board.ClearTranscript(); // what the open did is checked elsewhere

    const Bytes image = {0x02, 0x00, 0x30, 0x00, 0xFF};
    Escape(h, CLRRTS);
    Escape(h, SETDTR);
    Escape(h, CLRDTR);
    WriteBytes(h, image);
    Escape(h, SETRTS); // right after the write: the bytes must still stand before this change
    Escape(h, SETDTR);
    Escape(h, CLRDTR);
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_TRUE(board.WaitOpen(false, std::chrono::seconds(5)));

    const TBoardTranscript t = board.Transcript();
    const std::vector<TBoardEventKind> expected = {beRts, beDtr, beDtr, beData,
                                                   beRts, beDtr, beDtr, beClose};
    EXPECT_EQ(Kinds(t), expected) << FormatTranscript(t);
    ASSERT_EQ(t.Events.size(), expected.size());
    EXPECT_EQ(t.Events[3].Bytes, image);
    EXPECT_FALSE(t.Events[3].Rts);
    EXPECT_FALSE(t.Events[3].Dtr);
    EXPECT_TRUE(t.Events[5].Rts && t.Events[5].Dtr);

    const TBoardState state = board.State();
    EXPECT_EQ(state.Mode, bmRunning);
    EXPECT_EQ(state.Loads, 1u);
    EXPECT_EQ(state.Loaded, image.size());
    EXPECT_EQ(Bytes(state.Memory.begin(), state.Memory.begin() + 5), image);

    // No waits were made, so the judge sees one download with every duration far too short.
    const TBoardVerdict v = JudgeTranscript(t);
    ASSERT_EQ(v.Downloads.size(), 1u);
    EXPECT_EQ(v.Downloads[0].Bytes, image.size());
    EXPECT_FALSE(v.Ok());
    EXPECT_NE(FormatVerdict(v).find("load reset pulse"), std::string::npos);
}

// The board's reader and a line change race for bytes that came just before the change: many
// rounds of "a byte, then RTS on" must each show the byte while RTS was still off.
TEST(SimBoard, BytesStandBeforeTheChangeThatFollowsThem) {
    TSimBoard board(Unpaced());
    const HANDLE h = OpenNear("SIMTEST");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    constexpr int kRounds = 400;
    for (int i = 0; i < kRounds; ++i) {
        Escape(h, CLRRTS);
        WriteBytes(h, {static_cast<std::uint8_t>(i)});
        Escape(h, SETRTS);
    }
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_TRUE(board.WaitOpen(false, std::chrono::seconds(5)));
    std::size_t bytes = 0;
    for (const TBoardEvent& e : board.Transcript().Events) {
        if (e.Kind != beData)
            continue;
        bytes += e.Bytes.size();
        EXPECT_FALSE(e.Rts) << "byte " << int(e.Bytes.front()) << " recorded after RTS came on";
    }
    EXPECT_EQ(bytes, std::size_t{kRounds});
}

TEST(SimBoard, ShowsWhatTheOpenDoesToTheLines) {
    TSimBoard board(Unpaced());
    const HANDLE h = OpenNear("SIMTEST");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_TRUE(board.WaitOpen(false, std::chrono::seconds(5)));

    const TBoardTranscript t = board.Transcript();
    ASSERT_FALSE(t.Events.empty());
    EXPECT_EQ(t.Events.front().Kind, beOpen);
    EXPECT_EQ(t.Events.back().Kind, beClose);
    EXPECT_NE(FormatTranscript(t).find("settings 9600 baud 8N1"), std::string::npos)
        << FormatTranscript(t);
    // Whatever the platform does with the lines as it opens is a note, never a deviation.
    const TBoardVerdict v = JudgeTranscript(t);
    EXPECT_TRUE(v.Ok()) << FormatVerdict(v);
    EXPECT_FALSE(t.Events.back().Dtr) << "the board is left in reset";
}

TEST(SimBoard, BytesOutsideALoadAreNotStored) {
    TSimBoard board(Unpaced());
    const HANDLE h = OpenNear("SIMTEST");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    Escape(h, SETRTS);
    Escape(h, CLRDTR);
    WriteBytes(h, {1, 2, 3});
    ASSERT_TRUE(CloseHandle(h));
    const TBoardState state = board.State();
    EXPECT_EQ(state.Loaded, 0u);
    EXPECT_NE(state.Mode, bmLoading);
    const TBoardVerdict v = JudgeTranscript(board.Transcript());
    EXPECT_NE(FormatVerdict(v).find("3 bytes arrived while the board was"), std::string::npos)
        << FormatVerdict(v);
}

// Bytes that reached the board but wait for its reader when the transcript is cleared are still
// stored by the load: the next start runs the whole program.
TEST(SimBoard, ClearingTheTranscriptKeepsTheBytesThatArrived) {
    TSimBoardOptions options = Unpaced();
    options.Pacing = true;
    options.RunPrograms = false;
    TSimBoard board(options);
    const HANDLE h = OpenNear("SIMTEST");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    Escape(h, SETRTS);
    Escape(h, CLRDTR);
    const struct {
        const char* what;
        std::size_t bytes; // about 1 ms each at 9600 baud
    } cases[] = {{"a short program", 60}, {"a longer program", 300}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes image(c.bytes);
        for (std::size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<std::uint8_t>(i * 7 + c.bytes);
        Escape(h, CLRRTS);
        Escape(h, SETDTR);
        Escape(h, CLRDTR);
        WriteBytes(h, image); // returns once the last byte has reached the board
        board.ClearTranscript();
        Escape(h, SETRTS);
        Escape(h, SETDTR);
        Escape(h, CLRDTR);
        EXPECT_EQ(board.StoredImage(), image);
    }
    ASSERT_TRUE(CloseHandle(h));
}

// A board with a history limit keeps only the newest events however much the PC sends, and
// still starts the program of the last load; without one the transcript keeps everything.
TEST(SimBoard, AHistoryLimitBoundsWhatIsKeptButNotWhatIsStored) {
    const struct {
        const char* what;
        std::size_t limit;
    } cases[] = {{"no limit", 0}, {"a limit of 64 events", 64}};
    constexpr std::size_t kBlocks = 400;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TSimBoardOptions options = Unpaced();
        options.RunPrograms = false;
        options.HistoryLimit = c.limit;
        TSimBoard board(options);
        const HANDLE h = OpenNear("SIMTEST");
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        const Bytes image = {0x75, 0x98, 0x50, 0x80, 0xFE};
        Escape(h, CLRRTS);
        Escape(h, SETDTR);
        Escape(h, CLRDTR);
        WriteBytes(h, image);
        Escape(h, SETRTS);
        Escape(h, SETDTR);
        Escape(h, CLRDTR);
        // The running program's input: blocks outside a load, each followed by a line change.
        std::size_t most = 0;
        for (std::size_t i = 0; i < kBlocks; ++i) {
            WriteBytes(h, Bytes(16, static_cast<std::uint8_t>(i)));
            Escape(h, i % 2 == 0 ? CLRRTS : SETRTS);
            most = std::max(most, board.HistorySize());
        }
        Escape(h, SETRTS);
        Escape(h, SETDTR);
        Escape(h, CLRDTR);
        EXPECT_EQ(board.StoredImage(), image);
        const TBoardTranscript t = board.Transcript();
        ASSERT_FALSE(t.Events.empty());
        EXPECT_TRUE(t.Events.back().Rts && !t.Events.back().Dtr) << FormatTranscript(t);
        EXPECT_EQ(ReplayTranscript(t).Mode, bmRunning);
        if (c.limit == 0) {
            EXPECT_GE(board.HistorySize(), 2 * kBlocks);
            EXPECT_EQ(ReplayTranscript(t).Memory[4], image[4]) << "the load is still there";
        } else {
            EXPECT_LE(most, c.limit);
            EXPECT_LE(board.HistorySize(), c.limit);
        }
        ASSERT_TRUE(CloseHandle(h));
    }
}

TEST(SimBoard, OneBoardPerName) {
    TSimBoard board(Unpaced());
    EXPECT_EQ(board.PortName(), "SIMTEST");
    EXPECT_THROW(TSimBoard second(Unpaced("simtest")), std::runtime_error);
    EXPECT_THROW(TSimBoard bad(Unpaced("a\\b")), std::invalid_argument);
}

TEST(SimBoard, NameIsFreeAgainAfterTheBoardIsGone) {
    { TSimBoard board(Unpaced()); }
    const HANDLE h = OpenNear("SIMTEST");
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    TSimBoard again(Unpaced());
    EXPECT_EQ(again.Transcript().Events.size(), 0u);
}

} // namespace
