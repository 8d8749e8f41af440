#include "app/cli/CommandLine.h"

#include <algorithm>

namespace zv::cli {

namespace {

const OptionSpec kHelpOption{"help", 'h', {}, "show this help and exit"};

const OptionSpec* FindLong(const CommandSpec& command, std::string_view name) {
    if (name == kHelpOption.Long)
        return &kHelpOption;
    for (const OptionSpec& option : command.Options)
        if (option.Long == name)
            return &option;
    return nullptr;
}

const OptionSpec* FindShort(const CommandSpec& command, char name) {
    if (name == kHelpOption.Short)
        return &kHelpOption;
    for (const OptionSpec& option : command.Options)
        if (option.Short != 0 && option.Short == name)
            return &option;
    return nullptr;
}

std::string Spelling(const OptionSpec& option) {
    return option.Short != 0 ? "-" + std::string(1, option.Short) : "--" + std::string(option.Long);
}

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

} // namespace

std::optional<std::string> ParsedCommand::Value(std::string_view option) const {
    const auto found = Values.find(option);
    if (found == Values.end())
        return std::nullopt;
    return found->second;
}

ParsedCommand ParseCommand(const CommandSpec& command, std::span<const std::string> args) {
    ParsedCommand parsed;
    const std::string where = std::string(command.Name) + ": ";

    auto store = [&](const OptionSpec& option, std::string value) {
        if (parsed.Has(option.Long) && option.Long != kHelpOption.Long)
            throw UsageError(where + "option " + Spelling(option) + " given twice");
        parsed.Values[std::string(option.Long)] = std::move(value);
    };

    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.Operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }

        const OptionSpec* option = nullptr;
        std::optional<std::string> inlineValue;
        if (arg[1] == '-') {
            const std::string_view body = std::string_view(arg).substr(2);
            const std::size_t equals = body.find('=');
            option = FindLong(command, body.substr(0, equals));
            if (equals != std::string_view::npos)
                inlineValue = std::string(body.substr(equals + 1));
        } else {
            option = FindShort(command, arg[1]);
            if (arg.size() > 2)
                inlineValue = arg.substr(2);
        }
        if (option == nullptr)
            throw UsageError(where + "unknown option " + Quoted(arg));

        if (option->ValueName.empty()) {
            if (inlineValue)
                throw UsageError(where + "option " + Spelling(*option) + " takes no value");
            store(*option, {});
        } else if (inlineValue) {
            store(*option, *inlineValue);
        } else if (i + 1 < args.size()) {
            store(*option, args[++i]);
        } else {
            throw UsageError(where + "option " + Spelling(*option) + " needs a value (" +
                             std::string(option->ValueName) + ")");
        }
    }

    if (parsed.Has(kHelpOption.Long))
        return parsed;
    for (const OptionSpec& option : command.Options)
        if (option.Required && !parsed.Has(option.Long))
            throw UsageError(where + "missing " + Spelling(option) + " " +
                             std::string(option.ValueName));
    if (parsed.Operands.size() < command.MinOperands)
        throw UsageError(where + "missing " + std::string(command.Operands));
    if (parsed.Operands.size() > command.MaxOperands)
        throw UsageError(where + "unexpected argument " +
                         Quoted(parsed.Operands[command.MaxOperands]));
    return parsed;
}

std::string CommandUsage(std::string_view program, const CommandSpec& command) {
    std::string text = "usage: " + std::string(program) + " " + std::string(command.Name);
    if (!command.Operands.empty())
        text += " " + std::string(command.Operands);
    for (const OptionSpec& option : command.Options) {
        std::string shown = Spelling(option);
        if (!option.ValueName.empty())
            shown += " " + std::string(option.ValueName);
        text += option.Required ? " " + shown : " [" + shown + "]";
    }
    text += "\n\n" + std::string(command.Description) + "\n\noptions:\n";

    std::vector<const OptionSpec*> options;
    for (const OptionSpec& option : command.Options)
        options.push_back(&option);
    options.push_back(&kHelpOption);
    for (const OptionSpec* option : options) {
        std::string names;
        if (option->Short != 0)
            names = "-" + std::string(1, option->Short) + ", ";
        names += "--" + std::string(option->Long);
        if (!option->ValueName.empty())
            names += " " + std::string(option->ValueName);
        names.resize(std::max<std::size_t>(names.size() + 2, 24), ' ');
        text += "  " + names + std::string(option->Help) + "\n";
    }
    return text;
}

} // namespace zv::cli
