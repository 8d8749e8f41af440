// What zelvator-term is started with, and the texts of the port it shows.
//
//     zelvator-term [--port NAME] [--baud RATE]
//
// Without them the window takes the port and terminal options it had last time.
#pragma once

#include "toolkit/Exception.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

class TCustomComPort;

inline constexpr std::string_view TermUsage = "usage: zelvator-term [--port NAME] [--baud RATE]";

// A command line the program does not understand; the message says what is wrong.
class ECommandLine : public Exception {
public:
    using Exception::Exception;
};

struct TTermStart {
    std::optional<std::string> Port;
    std::optional<std::int32_t> Baud;
};

// Parses the arguments after the program name ("--port NAME" or "--port=NAME", likewise
// --baud). A rate is a whole number from 1 to 4000000. Raises ECommandLine; an argument that is
// not ours is an error too, unless SkipOthers (the arguments before Qt took out its own).
TTermStart ParseTermArgs(const std::vector<std::string>& Args, bool SkipOthers = false);

// Sets the port's speed: the standard rate of that name, else brCustom with CustomBaudRate.
void SetPortSpeed(TCustomComPort& Port, std::int32_t Rate);

// "9600 8-N-1", with the flow control after it unless it is none ("9600 8-E-2 hardware").
std::string LineSettingsText(const TCustomComPort& Port);

} // namespace zv
