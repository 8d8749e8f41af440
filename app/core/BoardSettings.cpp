#include "app/core/BoardSettings.h"

#include "app/core/HostSystem.h"
#include "cport/ComPort.h"
#include "platform/win32.h"
#include "toolkit/IniFiles.h"
#include "toolkit/Text.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

namespace zv {

namespace {

// A stored text is usable when its setting has a value of that name: the text survives the
// round trip through the setting's parser and back (letter case aside).
template <typename E>
bool Known(const std::string& text, E (*parse)(std::string_view), std::string (*name)(E)) {
    return SameText(name(parse(text)), text);
}

// The frames a serial driver refuses: stored, they would fail every later open.
std::string FrameProblem(TStopBits stopBits, TDataBits dataBits) {
    if ((stopBits == sbOne5StopBits && dataBits != dbFive) ||
        (stopBits == sbTwoStopBits && dataBits == dbFive))
        return "StopBits=" + StopBitsToStr(stopBits) +
               " cannot be used with DataBits=" + DataBitsToStr(dataBits);
    return {};
}

// The first stored basic value that cannot be used, as "Name=text ...", or empty text.
std::string UnusableValue(const TIniFile& ini, const TCustomComPort& port) {
    const std::string& s = port.Name();
    auto stored = [&](const char* name) -> std::optional<std::string> {
        if (!ini.ValueExists(s, name))
            return std::nullopt;
        return ini.ReadString(s, name, "");
    };
    auto invalid = [](const char* name, const std::string& text) {
        return std::string(name) + "=" + text + " is not a value of " + name;
    };

    if (const auto name = stored("Port"); name && name->empty())
        return "Port= names no port";
    TBaudRate baud = port.BaudRate();
    if (const auto text = stored("BaudRate")) {
        if (!Known(*text, StrToBaudRate, BaudRateToStr))
            return invalid("BaudRate", *text);
        baud = StrToBaudRate(*text);
    }
    if (baud == brCustom) {
        if (const auto text = stored("CustomBaudRate");
            text && ini.ReadInteger(s, "CustomBaudRate", 0) <= 0)
            return "CustomBaudRate=" + *text + " is not a speed in bit/s";
    }
    TStopBits stopBits = port.StopBits();
    if (const auto text = stored("StopBits")) {
        if (!Known(*text, StrToStopBits, StopBitsToStr))
            return invalid("StopBits", *text);
        stopBits = StrToStopBits(*text);
    }
    TDataBits dataBits = port.DataBits();
    if (const auto text = stored("DataBits")) {
        if (!Known(*text, StrToDataBits, DataBitsToStr))
            return invalid("DataBits", *text);
        dataBits = StrToDataBits(*text);
    }
    if (std::string problem = FrameProblem(stopBits, dataBits); !problem.empty())
        return problem;
    if (const auto text = stored("Parity"); text && !Known(*text, StrToParity, ParityToStr))
        return invalid("Parity", *text);
    if (const auto text = stored("FlowControl");
        text && !Known(*text, StrToFlowControl, FlowControlToStr))
        return invalid("FlowControl", *text);
    return {};
}

} // namespace

std::string BoardSettingsProblem(const TCustomComPort& port) {
    if (std::string problem = FrameProblem(port.StopBits(), port.DataBits()); !problem.empty())
        return problem;
    const TRTSFlowControl rts = port.FlowControl()->ControlRTS();
    if (rts == rtsHandshake || rts == rtsToggle)
        return "FlowControl=" + FlowControlToStr(port.FlowControl()->GetFlowControl()) +
               " lets the driver drive RTS, which the board protocol sets itself";
    return {};
}

std::string BoardSettingsPath(const std::string& file) {
    return ConfigFilePath(file);
}

TBoardSettingsLoad LoadBoardSettings(TCustomComPort& port, const std::string& file) {
    const std::string path = BoardSettingsPath(file);
    auto refused = [&](const std::string& problem) {
        return TBoardSettingsLoad{bsRefused, path + ": " + problem};
    };
    try {
        const std::string profile = ProfileFileName(file, false);
        const TIniFile ini(profile);
        if (!ini.SectionExists(port.Name())) {
            // A first start finds no file. A file that is there but reads as nothing is damaged
            // or foreign: the profile functions read what they cannot parse as absent.
            std::error_code error;
            const auto status = std::filesystem::status(path, error);
            if (!std::filesystem::exists(status))
                return {};
            if (!std::filesystem::is_regular_file(status))
                return refused("not a regular file");
            return refused("holds no [" + port.Name() + "] section that can be read");
        }
        if (const std::string problem = UnusableValue(ini, port); !problem.empty())
            return refused(problem);
        port.LoadSettings(stIniFile, profile);
        return {bsLoaded, {}};
    } catch (const std::exception& e) {
        return refused(e.what());
    }
}

void StoreBoardSettings(TCustomComPort& port, const std::string& file) {
    try {
        port.StoreSettings(stIniFile, ProfileFileName(file, true));
    } catch (const EComPort& e) {
        // The port's message says only that the store failed; the profile function that failed
        // left the system's reason as the last error.
        const DWORD code = GetLastError();
        std::string message = std::string(e.what()) + " in " + BoardSettingsPath(file);
        if (code != ERROR_SUCCESS)
            message += " (win error code: " + std::to_string(code) + ")";
        throw Exception(message);
    }
}

} // namespace zv
