// TProgramRunner: runs the simulated board's program on the s51 8051 simulator, its serial port
// (uart0) joined to the far end of the board's virtual line.
//
// One run at a time, started and stopped from a thread of the runner's own (so that s51's life,
// tied to the thread that started it, is the runner's). What the program sends is written to the
// line, which paces it at the near end's speed; what the near end sends is fed to the program.
// s51 is started without a shell, in a process group of its own (a Ctrl-C at the terminal is
// ours to handle), and killed when our process dies. A stop kills that whole group, so a
// simulator started through a wrapper script goes with it. Every start, stop and failure is told to
// the board through the note callback, on the runner's thread.
//
// POSIX only, like the board.
#pragma once

#ifndef _WIN32

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zv {

class VirtualLine;

struct TProgramRunnerOptions {
    // The simulator: a name searched on PATH when it has no slash, else a path.
    std::string Simulator = "s51";
    // How long s51 may take to load the program before the start counts as failed.
    std::chrono::milliseconds StartTimeout{5000};
    // The crystal of a typical board; the examples' baud rate settings assume it.
    std::string Crystal = "11.0592M";
};

struct TProgramNote {
    std::string Text;
    bool Failure = false; // s51 could not be started, refused the program or ended by itself
};

class TProgramRunner {
public:
    using NoteFn = std::function<void(const TProgramNote&)>;

    TProgramRunner(VirtualLine& line, TProgramRunnerOptions options, NoteFn note);
    // Stops a running program (the process is reaped before this returns).
    ~TProgramRunner();
    TProgramRunner(const TProgramRunner&) = delete;
    TProgramRunner& operator=(const TProgramRunner&) = delete;

    // Runs `image` as code from address 0, stopping a program that runs first. `why` names the
    // stop in the note ("reset").
    void Start(std::vector<std::uint8_t> image, std::string why);
    // Stops the program, if one runs; `why` goes into the note ("new load", "port closed").
    void Stop(std::string why);
    // Bytes from the near end for the program's serial input; dropped when no program runs or
    // it does not take them (a receiver overrun).
    void Feed(const std::uint8_t* data, std::size_t count);
    // Waits until every command given so far is carried out (for tests).
    void Sync();
    // The process id of the running s51, or 0.
    long RunningPid() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The image as Intel HEX records of 16 bytes from address 0, with the end record.
std::string IntelHex(const std::vector<std::uint8_t>& image);

} // namespace zv

#endif // _WIN32
