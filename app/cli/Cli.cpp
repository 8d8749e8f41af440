#include "app/cli/Cli.h"

#include <ostream>
#include <vector>

#ifndef ZELVATOR_VERSION
#define ZELVATOR_VERSION "unknown"
#endif

namespace zv::cli {

namespace {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {InfoCommand(),  ImageCommand(),   SendCommand(),
                                                  ResetCommand(), MonitorCommand(), PortsCommand()};
    return commands;
}

const Command* FindCommand(std::string_view name) {
    for (const Command& command : Commands())
        if (command.Syntax.Name == name)
            return &command;
    return nullptr;
}

void PrintUsage(std::ostream& out) {
    out << "usage: " << kProgram << " COMMAND [OPTIONS] [ARGUMENTS]\n"
        << "       " << kProgram << " --help | --version\n\n"
        << "Downloads 8051 programs (Intel HEX files) into a simulator board on a serial line.\n\n"
        << "commands:\n";
    for (const Command& command : Commands()) {
        std::string head =
            std::string(command.Syntax.Name) + " " + std::string(command.Syntax.Operands);
        head.resize(std::max<std::size_t>(head.size() + 2, 16), ' ');
        out << "  " << head << command.Syntax.Summary << "\n";
    }
    out << "\n"
        << "'" << kProgram << " COMMAND --help' shows the options of one command.\n"
        << "Exit status: 0 on success, 1 on a bad file or a failure, 2 on wrong usage.\n";
}

std::string UsageHint(std::string_view command = {}) {
    std::string help = std::string(kProgram) + " ";
    if (!command.empty())
        help += std::string(command) + " ";
    return " (see '" + help + "--help')";
}

} // namespace

std::string Quoted(std::string_view name) {
    return "'" + std::string(name) + "'";
}

int Run(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
    const std::string prefix = std::string(kProgram) + ": ";
    if (args.empty()) {
        err << prefix << "no command given" << UsageHint() << "\n";
        return exitUsage;
    }
    const std::string& first = args.front();
    if (first == "--help" || first == "-h" || first == "help") {
        PrintUsage(out);
        return exitSuccess;
    }
    if (first == "--version") {
        out << kProgram << " " << ZELVATOR_VERSION << "\n";
        return exitSuccess;
    }
    const Command* command = FindCommand(first);
    if (command == nullptr) {
        err << prefix << (first.starts_with('-') ? "unknown option " : "unknown command ")
            << Quoted(first) << UsageHint() << "\n";
        return exitUsage;
    }

    Context context{out, err};
    try {
        const ParsedCommand parsed = ParseCommand(command->Syntax, args.subspan(1));
        if (parsed.Has("help")) {
            out << CommandUsage(kProgram, command->Syntax);
            return exitSuccess;
        }
        command->Run(parsed, context);
        out.flush();
        return exitSuccess;
    } catch (const UsageError& e) {
        err << prefix << e.what() << UsageHint(command->Syntax.Name) << "\n";
        return exitUsage;
    } catch (const Failure& e) {
        out.flush();
        err << prefix << e.what() << "\n";
        return exitFailure;
    } catch (const std::exception& e) {
        out.flush();
        err << prefix << first << ": " << e.what() << "\n";
        return exitFailure;
    }
}

} // namespace zv::cli
