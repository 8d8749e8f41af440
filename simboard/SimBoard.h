// TSimBoard: the simulator board on a virtual serial line, for running downloads without
// hardware.
//
// Creating a board registers a virtual line under its port name ("SIM" by default), so that a
// port named SIM opens the near end of that line and the port list shows it. The board listens
// at the far end: it stamps every RTS, DTR, break and settings change and every received byte
// (see Transcript.h), and reading its state replays that transcript the way the hardware
// follows its reset and mode lines.
//
// When the board is started (a reset with RTS on) it runs the program it stored on the s51
// simulator, the 8051's serial port joined to the line: the program's output arrives at the
// port, what the port sends reaches the program. A reset restarts it, a load reset, closing
// the port or destroying the board stops it. Starts, stops and failures stand in the
// transcript's program notes; without s51 the board says once that programs do not run.
//
//     zv::TSimBoard board;                       // SIM is there until `board` dies
//     ... open "SIM", download ...
//     zv::TBoardTranscript t = board.Transcript();
//     std::cout << zv::FormatTranscript(t) << zv::FormatVerdict(zv::JudgeTranscript(t));
//
// POSIX only (built only there): on Windows a port's far end is a real device. The downloader
// reaches the board through app/core/HostSystem.h.
#pragma once

#include "simboard/Transcript.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zv {

class VirtualLine;

struct TSimBoardOptions {
    std::string PortName = "SIM";
    // Bytes take their frame time at the port's line speed (about 1 ms at 9600 baud), as on a
    // real cable. Off: bytes cross at once.
    bool Pacing = true;
    std::size_t MemorySize = 65536; // the 8051's code memory
    // Off: the board records and stores, but runs nothing.
    bool RunPrograms = true;
    // The simulator: a name searched on PATH, or a path.
    std::string Simulator = "s51";
    // How long s51 may take to load a program before the start counts as failed.
    std::chrono::milliseconds SimulatorStartTimeout{5000};
    // 0: the transcript keeps everything. Else the board keeps only about this many of the
    // newest events and program notes (once there are more, the oldest half goes), for a
    // process that never reads the transcript and must not grow with every byte; a transcript
    // then begins with the oldest event kept. What the board stores and runs is not affected.
    std::size_t HistoryLimit = 0;
};

class TSimBoard {
public:
    // Registers the line; throws std::runtime_error when the name is taken (for example by
    // another board) and std::invalid_argument for a name a line cannot have.
    explicit TSimBoard(TSimBoardOptions options = {});
    ~TSimBoard();
    TSimBoard(const TSimBoard&) = delete;
    TSimBoard& operator=(const TSimBoard&) = delete;

    const std::string& PortName() const;
    // The line itself, for tests that drive the far end's inputs or unplug it.
    VirtualLine& Line();

    // Everything so far, oldest first; bytes still on their way are taken in first, and the
    // program starts and stops the line asked for are carried out first.
    TBoardTranscript Transcript() const;
    // The board after that transcript: its mode and code memory.
    TBoardState State() const;
    // Forgets everything recorded so far; the next event is the new time origin. Bytes that
    // reached the board are taken in first (stored, fed to a running program), and the program
    // it holds stays.
    void ClearTranscript();
    // The program a start runs now: the bytes of the last load (kept across ClearTranscript).
    std::vector<std::uint8_t> StoredImage() const;
    // How many events the board keeps for its transcript now.
    std::size_t HistorySize() const;
    // Waits until the PC's end of the line is open (true) or closed (false).
    bool WaitOpen(bool open, std::chrono::milliseconds timeout) const;
    // Waits until the program starts and stops the line asked for so far are carried out.
    void SyncProgram() const;
    // The process id of the s51 running the program now, or 0.
    long ProgramPid() const;
    // The program notes that report a failure, oldest first.
    std::vector<TBoardNote> ProgramFailures() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace zv
