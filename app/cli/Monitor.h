// Printing what arrives on an open port: `zelvator-cli monitor` and `send --monitor`.
#pragma once

#include "app/cli/Cli.h"
#include "platform/win32.h"

#include <optional>
#include <string>
#include <string_view>

namespace zv {
class TCustomComPort;
struct TBoardTranscript;
} // namespace zv

namespace zv::cli {

struct MonitorOptions {
    std::optional<double> Seconds; // none: until Ctrl-C
    // Cut into lines at each line feed (a carriage return before it dropped), each printed with
    // the seconds since the monitor began: "[    1.234] Hello from the 8051".
    bool Lines = false;
};

// Reads a number of seconds (0.1 to 86400) from `option`; none when it was not given.
std::optional<double> ReadSeconds(const ParsedCommand& args, std::string_view option,
                                  std::string_view command);

// Writes the bytes that arrive on the open `port` to standard output as they come (or as lines,
// see MonitorOptions; a line not ended when the monitor ends is printed as it is), until the
// time is up or Ctrl-C (SIGINT or SIGTERM) is pressed. The port's read time-outs are changed
// for the time and put back afterwards. Port failures raise EComPort. `stop`: an event set by
// the caller's own catching of Ctrl-C, which then ends the monitor; nullptr: the monitor catches
// Ctrl-C itself while it runs.
void MonitorPort(TCustomComPort& port, const MonitorOptions& options, Context& context,
                 HANDLE stop = nullptr);

// A manual-reset event of a command's own, unset. Raises Failure when none can be made.
class EventHandle {
public:
    explicit EventHandle(bool wanted = true);
    ~EventHandle();
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;
    HANDLE Get() const { return h_; }

private:
    HANDLE h_ = nullptr;
};

// The simulated board's program failures in `transcript` as one message ("" when none).
std::string ProgramFailureText(const TBoardTranscript& transcript);

} // namespace zv::cli
