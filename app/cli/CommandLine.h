// A small command-line parser for "PROGRAM COMMAND [OPTIONS] [OPERANDS]".
//
// Each command declares its options and how many operands it takes. Options may stand anywhere
// after the command: "--name", "--name=value", "--name value", "-x", "-x value", "-xvalue";
// "--" ends the options and a lone "-" is an operand. Every command also takes "-h"/"--help".
#pragma once

#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zv::cli {

// Wrong usage: the message names what is wrong; the program exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    std::string_view Long;      // "output" for --output; the key of the parsed value
    char Short = 0;             // 'o' for -o, 0 for none
    std::string_view ValueName; // "OUT" when the option takes a value, empty for a flag
    std::string_view Help;
    bool Required = false;
};

struct ParsedCommand {
    std::vector<std::string> Operands;
    std::map<std::string, std::string, std::less<>> Values; // by long name; flags hold ""

    bool Has(std::string_view option) const { return Values.find(option) != Values.end(); }
    std::optional<std::string> Value(std::string_view option) const;
};

struct CommandSpec {
    std::string_view Name;
    std::string_view Operands;    // "FILE", shown in the usage line
    std::string_view Summary;     // one line, for the list of commands
    std::string_view Description; // for the command's own --help
    std::vector<OptionSpec> Options;
    std::size_t MinOperands = 0;
    std::size_t MaxOperands = 0;
};

// Parses the arguments that follow the command name. Throws UsageError. When the result holds
// "help", the other checks (operand count, required options) have been skipped.
ParsedCommand ParseCommand(const CommandSpec& command, std::span<const std::string> args);

// "usage: zelvator-cli image FILE -o OUT" and the option list, for --help.
std::string CommandUsage(std::string_view program, const CommandSpec& command);

} // namespace zv::cli
