// What the downloader does differently on POSIX and on Windows, behind one small interface, so
// that the rest of app/ reads the same on both: the simulated board (it lives on a virtual line
// of the POSIX platform layer), whether a stream is a terminal, a request to stop the program,
// forcing a written file onto the disk, and where settings files live. HostPosix.cpp and
// HostWindows.cpp are the two sides; the build takes one of them.
#pragma once

#include "platform/win32.h"
#include "simboard/Transcript.h"

#include <cstddef>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zv {

// The port name under which the simulated board is reached.
inline constexpr std::string_view SimPortName = "SIM";

// A simulated board running in this process, reached by opening the port PortName(). It goes
// away with this object.
class TLocalBoard {
public:
    virtual ~TLocalBoard() = default;
    virtual const std::string& PortName() const = 0;
    // Everything the board saw so far, and its state after it (see simboard/Transcript.h).
    virtual TBoardTranscript Transcript() const = 0;
    virtual TBoardState State() const = 0;
};

// The simulated board cannot run here (Windows: a port's far end is always a real device).
class ENoLocalBoard : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// True where StartLocalBoard can succeed.
bool LocalBoardAvailable();

// Starts the simulated board on a virtual line named `portName`. `pacing`: bytes take their
// frame time at the port's line speed. `transcript`: the board keeps everything it saw for
// Transcript(); without it (a program that keeps the board for its whole life and never reads
// the transcript) it keeps only the newest part of its history (LocalBoardHistoryLimit events),
// and what it stores and runs is the same. Throws ENoLocalBoard where the board cannot run, and
// std::runtime_error when the name is taken (for example by another board in this process).
std::unique_ptr<TLocalBoard> StartLocalBoard(const std::string& portName = std::string(SimPortName),
                                             bool pacing = true, bool transcript = false);

// How many of its newest events a board started without a transcript keeps.
inline constexpr std::size_t LocalBoardHistoryLimit = 4096;

// True when the C file descriptor `fd` (1: standard output, 2: standard error) is a terminal.
bool IsTerminal(int fd);

// Makes a write into a pipe whose reader has gone fail with EPIPE instead of ending the process,
// so that the program can say what happened and exit with its own status.
void ReportClosedPipes();

// While it lives, a request to stop the program (Ctrl-C; SIGINT or SIGTERM on POSIX) sets the
// event `stop` instead of ending the process, so that a command running until it is stopped can
// end cleanly with its own status. The previous handling comes back when it goes. On Windows
// nothing is caught yet: Ctrl-C ends the process there.
class TStopRequests {
public:
    virtual ~TStopRequests() = default;
};

std::unique_ptr<TStopRequests> CatchStopRequests(HANDLE stop);

// While it lives, what the program writes to standard output leaves byte for byte: in the C
// library's text mode Windows turns each line feed written there into CR LF. POSIX writes bytes
// as they are anyway. What was written before keeps the mode it was written in.
class TRawStandardOutput {
public:
    TRawStandardOutput();
    ~TRawStandardOutput();
    TRawStandardOutput(const TRawStandardOutput&) = delete;
    TRawStandardOutput& operator=(const TRawStandardOutput&) = delete;

private:
    int previousMode_ = -1;
};

// The device that opening the port `port` reaches, for messages: "/dev/ttyS0" for COM1 on POSIX.
std::string PortDevice(const std::string& port);

// Why the device behind `port` cannot be the board's serial port, for the message of a port
// that failed: "no such device", "a regular file, not a serial device", "a terminal without
// modem control lines (RTS/DTR), which the board protocol needs" (`lineControl`: the failure
// was a change of RTS or DTR). Empty when nothing more is known.
std::string PortDeviceProblem(const std::string& port, bool lineControl);

// What a path names when that is decided by its name alone: opening a device has effects (a
// serial port's modem lines move, and a board on them is reset) and a pipe may wait for ever, so
// a file name is looked at before anything opens it. On Windows the system takes a device name
// ("COM3", "CON", and on versions before 11 also "COM3.txt" in any folder) and a path in the
// device namespace ("\\.\COM10") to a device, and "\\.\pipe\NAME" to a pipe, whatever the file
// system holds; a file path written in that namespace ("\\?\C:\x.hex") is still a file. On
// POSIX the platform layer opens a name in the device namespace ("\\.\COM1", "\\.\/dev/pts/3",
// a virtual line's "\\.\NAME") as a serial port: sfDevice; any other name is a file system
// entry: sfNone, and its kind is looked up (stat).
enum TSpecialName { sfNone, sfDevice, sfPipe };
TSpecialName SpecialName(const std::string& path);

// Forces the flushed contents of `file` onto the disk. Returns 0 or the errno of the failure.
int SyncToDisk(std::FILE* file);

// The file that settings stored under the file name `name` live in: an absolute path stays as it
// is (on Windows any name with a folder or a drive in it); a bare name lies in the user's
// configuration folder, on POSIX "$XDG_CONFIG_HOME/zelvator" (else "~/.config/zelvator"), on
// Windows "%APPDATA%\zelvator".
std::string ConfigFilePath(const std::string& name);

// The name to give the profile functions (TIniFile, a port's StoreSettings and LoadSettings) for
// the settings file `name`, so that they use ConfigFilePath(name). On POSIX that is `name` itself:
// the platform layer's profile functions put a bare name there, and make the folder when they
// write. Windows' take a bare name to the Windows folder, which a user cannot write, and make no
// folder: there it is the full path, and `forWrite` makes the configuration folder first.
std::string ProfileFileName(const std::string& name, bool forWrite);

} // namespace zv
