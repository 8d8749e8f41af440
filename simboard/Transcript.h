// What the simulated board saw on its serial line, and how it is judged.
//
// A transcript is the ordered list of what happened at the PC's end of the line: the port opened
// or closed, its settings applied, RTS, DTR and break changes, and the bytes it sent, each with a
// time stamp. Consecutive bytes with no line change between them form one data entry: the bytes
// of one phase.
//
// The board reads the lines as the simulator hardware does: DTR is its reset input, RTS its mode
// input. While DTR is on the board is held in reset; when DTR goes off it starts in the mode RTS
// selected during the pulse: RTS off loads (every byte that follows is stored from address 0
// up), RTS on runs the program in its memory.
//
// JudgeTranscript checks a transcript against the download protocol:
//
//   load reset   RTS off, DTR on, 250 ms
//   settle       RTS off, DTR off, 250 ms until the first byte
//   transfer     ImageEnd + 1 bytes, then 250 ms until RTS goes on
//   run reset    RTS on, DTR on, 250 ms, then DTR off
//
// and a Reset command as a 250 ms DTR pulse with RTS unchanged. Each duration is accepted within
// a tolerance both ways plus a scheduling slack on the late side (a sleep never ends early, but a
// busy machine may wake the sleeper late). A DTR pulse that begins and ends in the first moments
// after the port is opened is the platform's doing (a tty raises DTR and RTS as it opens, the
// settings drop them), not the program's: it is listed as a note, with what a real board makes
// of it; so is DTR left on when the port closes (a real board then stays in reset).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zv {

enum TBoardEventKind : std::uint8_t {
    beOpen,   // the PC opened the port
    beClose,  // the PC closed the port
    beConfig, // new line settings (Baud, DataBits, Parity, StopBits)
    beRts,    // RTS changed to Level
    beDtr,    // DTR changed to Level
    beBreak,  // the break condition started (Level true) or ended
    beData,   // Bytes arrived, the first at Time, the last at LastTime
};

struct TBoardEvent {
    using Clock = std::chrono::steady_clock;

    TBoardEventKind Kind = beData;
    Clock::time_point Time{};
    Clock::time_point LastTime{}; // beData: when the last byte arrived
    bool Level = false;           // beRts, beDtr, beBreak
    bool Rts = false;             // the levels after this event
    bool Dtr = false;
    std::vector<std::uint8_t> Bytes; // beData
    // beConfig: the line format.
    std::uint32_t Baud = 0;
    std::uint8_t DataBits = 8;
    char Parity = 'N';             // N, O, E, M, S
    std::uint8_t StopBitsHalf = 2; // stop bits times two: 2, 3 (1.5) or 4
};

// What the board did with its program beside the line: s51 started, stopped, failed to start
// or ended by itself, or programs do not run because s51 is missing.
struct TBoardNote {
    TBoardEvent::Clock::time_point Time{};
    std::string Text;
    bool Failure = false; // the program could not be run or ended by itself
};

struct TBoardTranscript {
    std::string PortName;
    bool Pacing = false; // bytes crossed the line at the configured speed
    // The line levels before the first event (a transcript may start with the port open).
    bool InitialRts = false;
    bool InitialDtr = false;
    std::vector<TBoardEvent> Events; // oldest first
    std::vector<TBoardNote> Program; // oldest first

    // Milliseconds of `time` since the first event.
    double Ms(TBoardEvent::Clock::time_point time) const;
};

// What the board holds after a transcript.
enum TBoardMode : std::uint8_t {
    bmNotReset, // no reset seen since the board was powered: it runs whatever it ran before
    bmReset,    // DTR on: held in reset
    bmLoading,  // reset with RTS off: received bytes are stored
    bmRunning,  // reset with RTS on: runs the program in memory
};
const char* BoardModeName(TBoardMode mode);

struct TBoardState {
    TBoardMode Mode = bmNotReset;
    // The code memory; bytes stored by the last load, from address 0.
    std::vector<std::uint8_t> Memory;
    // How many bytes the last load stored (0 before any load); bytes beyond the memory's size
    // are counted in Overflow and dropped.
    std::size_t Loaded = 0;
    std::size_t Overflow = 0;
    // Loads and run starts so far.
    std::size_t Loads = 0;
    std::size_t Runs = 0;
};

// Replays a transcript on a board with `memorySize` bytes of code memory.
TBoardState ReplayTranscript(const TBoardTranscript& transcript, std::size_t memorySize = 65536);

struct TJudgeOptions {
    double PulseMs = 250;    // each reset pulse, the settle and the after-write wait
    double ToleranceMs = 40; // accepted both ways
    double SlackMs = 60;     // accepted on the late side on top of the tolerance
    // A DTR pulse that begins and ends this soon after the open is the platform's.
    double OpenWindowMs = 100;
    // The image every download must carry (ImageEnd + 1 bytes); empty: any non-empty image.
    std::optional<std::vector<std::uint8_t>> Image;

    double MinMs(double nominal) const {
        return nominal - ToleranceMs < 0 ? 0 : nominal - ToleranceMs;
    }
    double MaxMs(double nominal) const { return nominal + ToleranceMs + SlackMs; }
};

// One download as the board saw it; durations in milliseconds.
struct TBoardDownload {
    double StartMs = 0;      // the load reset's DTR on
    double LoadResetMs = 0;  // the load reset pulse
    double SettleMs = 0;     // end of the load reset to the first byte (negative: no byte)
    double TransferMs = 0;   // first to last byte
    double AfterWriteMs = 0; // last byte to RTS on
    double RunResetMs = 0;   // the run reset pulse
    std::size_t Bytes = 0;
};

struct TBoardVerdict {
    TJudgeOptions Options;
    std::vector<TBoardDownload> Downloads; // complete downloads, load reset to run reset
    std::size_t Resets = 0;                // Reset command pulses (RTS unchanged, not in a load)
    std::vector<std::string> Deviations;   // "at 1253.4 ms: ..."
    std::vector<std::string> Notes;        // platform line movements at open and close

    bool Ok() const { return Deviations.empty(); }
};

TBoardVerdict JudgeTranscript(const TBoardTranscript& transcript,
                              const TJudgeOptions& options = {});

// The transcript as a table, one line per event:
//
//   SIM: transcript (ms since the first event; line levels after each event)
//        time  RTS  DTR  event
//       0.000   on   on  port opened
//       0.112   on   on  settings 9600 baud 8N1
//      12.305  off  off  ...
//    1012.730            program: s51 runs the program: ...
//
// The program's notes stand among the events by their time.
std::string FormatTranscript(const TBoardTranscript& transcript);
// The verdict: the tolerance used, each download with its durations, notes, deviations and a
// last line "verdict: OK ..." or "verdict: N deviation(s)".
std::string FormatVerdict(const TBoardVerdict& verdict);

} // namespace zv
