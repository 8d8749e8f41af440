#include "app/term/TermStart.h"

#include "cport/ComPort.h"
#include "cport/ComTypes.h"
#include "toolkit/Text.h"

#include <charconv>

namespace zv {

namespace {

constexpr std::int32_t MaxRate = 4000000;

// The value of option Name: "--name=value" or "--name" followed by the value.
bool TakeOption(const std::vector<std::string>& Args, std::size_t& I, std::string_view Name,
                std::string& Value) {
    const std::string& arg = Args[I];
    if (arg == Name) {
        if (I + 1 >= Args.size())
            throw ECommandLine(std::string(Name) + " needs a value");
        Value = Args[++I];
        return true;
    }
    if (arg.size() > Name.size() && arg.compare(0, Name.size(), Name) == 0 &&
        arg[Name.size()] == '=') {
        Value = arg.substr(Name.size() + 1);
        return true;
    }
    return false;
}

} // namespace

TTermStart ParseTermArgs(const std::vector<std::string>& Args, bool SkipOthers) {
    TTermStart start;
    for (std::size_t i = 0; i < Args.size(); ++i) {
        std::string value;
        if (TakeOption(Args, i, "--port", value)) {
            if (value.empty())
                throw ECommandLine("--port needs a port name");
            start.Port = value;
        } else if (TakeOption(Args, i, "--baud", value)) {
            std::int32_t rate = 0;
            const char* end = value.data() + value.size();
            const auto [ptr, ec] = std::from_chars(value.data(), end, rate);
            if (ec != std::errc() || ptr != end || rate < 1 || rate > MaxRate)
                throw ECommandLine("--baud needs a rate from 1 to " + std::to_string(MaxRate) +
                                   ", not \"" + value + "\"");
            start.Baud = rate;
        } else if (!SkipOthers) {
            throw ECommandLine("unknown argument \"" + Args[i] + "\"");
        }
    }
    return start;
}

void SetPortSpeed(TCustomComPort& Port, std::int32_t Rate) {
    const std::string text = std::to_string(Rate);
    const TBaudRate rate = StrToBaudRate(text);
    if (BaudRateToStr(rate) == text) {
        Port.SetBaudRate(rate);
    } else {
        Port.SetCustomBaudRate(Rate);
        Port.SetBaudRate(brCustom);
    }
}

std::string LineSettingsText(const TCustomComPort& Port) {
    static constexpr char ParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
    std::string text = std::to_string(BaudRateToWin32(Port.BaudRate(), Port.CustomBaudRate()));
    text += ' ';
    text += DataBitsToStr(Port.DataBits());
    text += '-';
    const auto parity = static_cast<std::size_t>(Port.Parity()->Bits());
    text += parity < sizeof ParityLetters ? ParityLetters[parity] : '?';
    text += '-';
    text += StopBitsToStr(Port.StopBits());
    const TFlowControl flow = Port.FlowControl()->GetFlowControl();
    if (flow != fcNone) {
        text += ' ' + LowerCase(FlowControlToStr(flow));
    }
    return text;
}

} // namespace zv
