// zelvator-cli: the command-line face of the downloader.
//
//   zelvator-cli COMMAND [OPTIONS] [OPERANDS]
//
// Each command is a CommandSpec (its name, operands and options, see CommandLine.h) and a
// function. A command reports a failure by throwing Failure; Run prints it as one line on the
// error stream and returns the exit status.
#pragma once

#include "app/cli/CommandLine.h"

#include <iosfwd>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zv::cli {

constexpr std::string_view kProgram = "zelvator-cli";

enum ExitStatus : int {
    exitSuccess = 0,
    exitFailure = 1, // a bad file or a failed operation
    exitUsage = 2,   // wrong usage
};

// A failed operation or a bad input file. The message names the file, the operation and the
// reason: "cannot open 'x.ihx': The system cannot find the file specified. (error 2)".
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Context {
    std::ostream& Out;
    std::ostream& Err;
};

struct Command {
    CommandSpec Syntax;
    void (*Run)(const ParsedCommand& args, Context& context);
};

// The commands on HEX files (HexCommands.cpp).
Command InfoCommand();
Command ImageCommand();
// The commands on a serial port (PortCommands.cpp).
Command SendCommand();
Command ResetCommand();
Command PortsCommand();
Command MonitorCommand();

// Runs the program on its arguments (without the program name); returns the exit status.
int Run(std::span<const std::string> args, std::ostream& out, std::ostream& err);

// 'name' in single quotes, as file names appear in messages.
std::string Quoted(std::string_view name);

} // namespace zv::cli
