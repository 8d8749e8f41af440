// The commands that use a serial port: send (the download), reset, and ports (the list).
//
// send and reset run the same sequences as the window (app/core/Download.h) on a port set up as
// the window's ComPort1. Two things differ, because a command is a process of its own: reset
// opens the port first (the window's Reset works on the port its last download left open), and
// the port runs without an event thread (no main loop would take its hand-offs).
//
// Without --port and --baud a command takes the port, its speed and its line format from the
// settings the window stored (app/core/BoardSettings.h), else the window's designed ones.
//
// --port SIM puts the simulated board on a virtual line named SIM inside this process; after the
// job the port is closed, so that the transcript shows what a board sees when the program
// exits, and the transcript and the board's verdict are printed.
#include "app/cli/Cli.h"
#include "app/cli/HexCommands.h"
#include "app/cli/Monitor.h"
#include "app/cli/SystemError.h"
#include "app/core/BoardSettings.h"
#include "app/core/Download.h"
#include "app/core/HostSystem.h"
#include "cport/ComPort.h"
#include "cport/EnumComPorts.h"
#include "simboard/Transcript.h"
#include "toolkit/Strings.h"
#include "toolkit/Text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>

namespace zv::cli {

namespace {

constexpr std::string_view kSimPort = SimPortName;

const OptionSpec kPortOption{
    "port", 'p', "NAME",
    "the serial port (default: the stored one, else COM1); SIM: the simulated board"};
const OptionSpec kBaudOption{"baud", 'b', "RATE",
                             "the line speed in bit/s (default: the stored one, else 9600)"};
const OptionSpec kQuietOption{
    "quiet", 'q', {}, "no progress, no messages; the board's transcript still shows"};
const OptionSpec kToleranceOption{
    "tolerance", 0, "MS", "with --port SIM: the verdict's tolerance both ways (default 40)"};
const OptionSpec kSlackOption{"slack", 0, "MS",
                              "with --port SIM: how much later still a wait may end (default 60)"};
const OptionSpec kMonitorOption{"monitor", 0, "SECONDS",
                                "after the download, print what the board sends for SECONDS"};
const OptionSpec kForOption{"for", 0, "SECONDS", "stop after SECONDS (default: at Ctrl-C)"};
const OptionSpec kLinesOption{
    "lines", 0, {}, "what arrives as lines, each with the seconds since the start"};
const OptionSpec kSaveOption{"save-received", 0, "OUT",
                             "with --port SIM: write the bytes the board stored to OUT"};

// Where the port commands' defaults come from, for their --help.
constexpr std::string_view kStoredDefaults =
    "The port, its speed and its line format (data bits, parity, stop bits, flow\n"
    "control) are the ones the window's \"Setup COM\" stored: section [ComPort1] of\n"
#ifdef _WIN32
    "zelvator.ini in the configuration folder (%APPDATA%\\zelvator).\n"
    "--port and --baud win over them. Without stored settings:\n"
#else
    "zelvator.ini in the configuration folder ($XDG_CONFIG_HOME/zelvator, else\n"
    "~/.config/zelvator). --port and --baud win over them. Without stored settings:\n"
#endif
    "COM1 at 9600 bit/s, 8 data bits, no parity, 1 stop bit, no flow control.";

// A command's description followed by kStoredDefaults.
std::string_view WithStoredDefaults(std::string& text, std::string_view description) {
    if (text.empty())
        text = std::string(description) + "\n" + std::string(kStoredDefaults);
    return text;
}

// The options every port command takes, with the line settings they give the port.
struct PortOptions {
    std::string Port = "COM1";
    TBaudRate Baud = br9600;
    std::int32_t CustomBaud = 9600;
    std::uint32_t Bits = 9600; // the speed, for messages
    TStopBits StopBits = sbOneStopBit;
    TDataBits DataBits = dbEight;
    TParityBits Parity = prNone;
    TFlowControl Flow = fcNone;
    bool Quiet = false;
    bool Simulated = false;
    double ToleranceMs = TJudgeOptions{}.ToleranceMs; // the verdict's tolerance
    double SlackMs = TJudgeOptions{}.SlackMs;         // and its scheduling slack
};

// A number of milliseconds for a verdict option (--tolerance, --slack).
double Milliseconds(const ParsedCommand& args, std::string_view option, bool simulated,
                    const std::string& where, double fallback) {
    const auto value = args.Value(option);
    if (!value)
        return fallback;
    if (!simulated)
        throw UsageError(where + "--" + std::string(option) + " needs --port SIM");
    const bool digits =
        !value->empty() && value->size() <= 5 &&
        std::all_of(value->begin(), value->end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits)
        throw UsageError(where + std::string(option) + " " + Quoted(*value) +
                         " is not a number of milliseconds from 0 to 99999");
    return std::stod(*value);
}

// The window's ComPort1 as it starts: its designed settings, then the ones it stored. A stored
// port that cannot be used is said on the error stream and left out; false then.
bool ReadStoredPort(PortOptions& o, Context& context) {
    TComPort stored;
    ConfigureBoardPort(stored);
    stored.SetName(BoardPortName);
    const TBoardSettingsLoad loaded = LoadBoardSettings(stored);
    if (loaded.State == bsRefused)
        context.Err << kProgram << ": warning: " << loaded.Problem
                    << "; the stored port settings are not used" << std::endl;
    o.Port = stored.Port();
    o.Baud = stored.BaudRate();
    o.CustomBaud = stored.CustomBaudRate();
    o.Bits = o.Baud == brCustom ? static_cast<std::uint32_t>(o.CustomBaud)
                                : static_cast<std::uint32_t>(std::stoul(BaudRateToStr(o.Baud)));
    o.StopBits = stored.StopBits();
    o.DataBits = stored.DataBits();
    o.Parity = stored.Parity()->Bits();
    o.Flow = stored.FlowControl()->GetFlowControl();
    return loaded.State != bsRefused;
}

PortOptions ReadPortOptions(const ParsedCommand& args, std::string_view command, Context& context) {
    const std::string where = std::string(command) + ": ";
    PortOptions o;
    const bool storedUsable = ReadStoredPort(o, context);
    if (auto port = args.Value("port")) {
        if (port->empty())
            throw UsageError(where + "the port name is empty");
        o.Port = *port;
    } else if (!storedUsable) {
        // The built-in port is not the one the user chose: resetting or writing to whatever
        // device sits there could harm it.
        throw Failure(where + "the stored port cannot be used; name the port with --port");
    }
    o.Simulated = SameText(o.Port, kSimPort);
    if (o.Simulated)
        o.Port = kSimPort;
    if (auto baud = args.Value("baud")) {
        const bool digits =
            !baud->empty() && baud->size() <= 8 &&
            std::all_of(baud->begin(), baud->end(), [](char c) { return c >= '0' && c <= '9'; });
        const long rate = digits ? std::stol(*baud) : 0;
        if (rate < 50 || rate > 4000000)
            throw UsageError(where + "line speed " + Quoted(*baud) +
                             " is not a number from 50 to 4000000");
        o.Bits = static_cast<std::uint32_t>(rate);
        o.Baud = StrToBaudRate(std::to_string(rate));
        if (BaudRateToStr(o.Baud) != std::to_string(rate)) {
            o.Baud = brCustom;
            o.CustomBaud = static_cast<std::int32_t>(rate);
        }
    }
    o.Quiet = args.Has("quiet");
    o.ToleranceMs = Milliseconds(args, "tolerance", o.Simulated, where, o.ToleranceMs);
    o.SlackMs = Milliseconds(args, "slack", o.Simulated, where, o.SlackMs);
    return o;
}

// A port set up as the window's ComPort1, with the command's name, speed and line format.
void SetUpPort(TComPort& port, const PortOptions& o) {
    ConfigureBoardPort(port);
    port.SetEvents(TComEvents{});
    port.SetPort(o.Port);
    port.SetCustomBaudRate(o.CustomBaud);
    port.SetBaudRate(o.Baud);
    port.SetStopBits(o.StopBits);
    port.SetDataBits(o.DataBits);
    port.Parity()->SetBits(o.Parity);
    // As a load of stored settings does: the summary sets the handshake, "Custom" keeps it.
    port.FlowControl()->SetFlowControl(o.Flow);
}

std::string Seconds(double s) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(s < 10 ? 1 : 0) << s << " s";
    return text.str();
}

// Reports a download on the command line: the image end, progress on a terminal, the outcome.
class CliObserver : public TDownloadObserver {
public:
    CliObserver(Context& context, const PortOptions& o, const std::string& file, HANDLE stop)
        : context_(context), o_(o), file_(file), progress_(!o.Quiet && IsTerminal(2)), stop_(stop) {
    }

    void ImageEnd(std::uint32_t imageEnd) override {
        total_ = imageEnd + std::size_t{1};
        if (!o_.Quiet)
            context_.Out << file_ << ": image end " << imageEnd << ", sending " << total_
                         << (total_ == 1 ? " byte" : " bytes") << " to " << o_.Port << " at "
                         << o_.Bits << " bit/s" << std::endl;
    }
    bool WantsProgress() const override { return progress_; }
    HANDLE StopEvent() const override { return stop_; }
    void Progress(std::size_t sent, std::size_t total) override {
        const auto now = std::chrono::steady_clock::now();
        if (sent == 0)
            start_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        std::ostringstream line;
        line << "\r  sent " << sent << " of " << total << " bytes";
        if (elapsed > 0.05 && sent > 0) {
            const double rate = static_cast<double>(sent) / elapsed;
            line << ", " << static_cast<long>(rate) << " bytes/s, "
                 << Seconds(static_cast<double>(total - sent) / rate) << " left";
        }
        line << "\033[K";
        context_.Err << line.str() << std::flush;
        lineOpen_ = true;
        if (sent == total)
            EndProgress();
    }
    // Clears the progress line, also when the write ended early.
    void EndProgress() {
        if (lineOpen_)
            context_.Err << "\r\033[K" << std::flush;
        lineOpen_ = false;
    }
    void Status(std::string_view text, bool) override {
        if (text == StatusRun) {
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begun_).count();
            if (!o_.Quiet)
                context_.Out << "board started (" << text << ") after " << Seconds(s) << std::endl;
        }
    }

private:
    Context& context_;
    const PortOptions& o_;
    std::string file_;
    bool progress_;
    HANDLE stop_;
    bool lineOpen_ = false;
    std::size_t total_ = 0;
    std::chrono::steady_clock::time_point start_{};
    std::chrono::steady_clock::time_point begun_ = std::chrono::steady_clock::now();
};

// The simulated board for --port SIM, or nothing.
std::unique_ptr<TLocalBoard> CreateBoard(const PortOptions& o) {
    if (!o.Simulated)
        return nullptr;
    try {
        return StartLocalBoard(std::string(kSimPort), true, true); // its transcript is reported
    } catch (const ENoLocalBoard& e) {
        throw Failure(e.what());
    }
}

// Prints the board's transcript and verdict; returns the number of deviations the verdict found.
std::size_t Report(Context& context, const TLocalBoard& board, const PortOptions& o,
                   std::optional<std::vector<std::uint8_t>> image) {
    const TBoardTranscript transcript = board.Transcript();
    TJudgeOptions judge;
    judge.ToleranceMs = o.ToleranceMs;
    judge.SlackMs = o.SlackMs;
    judge.Image = std::move(image);
    const TBoardVerdict verdict = JudgeTranscript(transcript, judge);
    context.Out << FormatTranscript(transcript) << FormatVerdict(verdict);
    context.Out.flush();
    return verdict.Deviations.size();
}

// Saves what the board stored; the failure's text, or empty.
std::string SaveReceived(const TLocalBoard& board, const std::string& saveTo) {
    const TBoardState state = board.State();
    try {
        WriteFileReplacing(saveTo,
                           std::span<const std::uint8_t>(state.Memory.data(), state.Loaded));
    } catch (const Failure& e) {
        return e.what();
    }
    return {};
}

bool IsNetworkPortName(const std::string& port) {
    return port.rfind("rfc2217://", 0) == 0;
}

// What the system's code of a failing network port (rfc2217://HOST:PORT) means to its user;
// empty for a code that says nothing more than the port's message.
std::string NetworkPortProblem(const EComPort& failure) {
    switch (failure.OsErrorCode()) {
    case ERROR_FILE_NOT_FOUND:
        return "not a network port name: write rfc2217://HOST:PORT (an IPv6 address in "
               "brackets, a port number from 1 to 65535)";
    case ERROR_BAD_NETPATH:
        return "the host name cannot be resolved";
    case ERROR_CONNECTION_REFUSED:
        return "the host refused the connection: no port server listens on that port";
    case ERROR_HOST_UNREACHABLE:
    case ERROR_NETWORK_UNREACHABLE:
        return "the host cannot be reached over the network";
    case ERROR_SEM_TIMEOUT:
        return "the host did not answer the connection in time";
    case ERROR_BAD_NET_RESP:
        return "the server does not answer as an RFC 2217 port server (telnet with "
               "COM-PORT-OPTION); check that its port is set up for RFC 2217";
    case ERROR_INVALID_PARAMETER:
        if (failure.ErrorCode() != CError_SetStateFailed)
            return {};
        return "the port server's device did not take that speed or format";
    case ERROR_DEVICE_NOT_CONNECTED:
        if (failure.ErrorCode() == CError_OpenFailed)
            return "the port server ended the connection while the port was being opened (a "
                   "server that serves one client at a time may be busy with another)";
        return "the connection to the port server was lost";
    default:
        return {};
    }
}

// The port's message, and what is known about the device behind the name when the port could
// not be opened or its modem lines not be set: a name that exists nowhere, a file or a pipe in
// place of a serial device, a pseudo-terminal without RTS and DTR; for a network port, what
// the system's code says about the connection.
std::string PortFailureText(const PortOptions& o, const Exception& e) {
    const std::string& port = o.Port;
    std::string text = port + ": " + e.what();
    const auto* failure = dynamic_cast<const EComPort*>(&e);
    if (failure == nullptr)
        return text;
    if (IsNetworkPortName(port)) {
        const std::string problem = NetworkPortProblem(*failure);
        if (!problem.empty())
            text += "; " + problem;
        return text;
    }
    const bool lineControl = failure->ErrorCode() == CError_EscapeCommFailed ||
                             failure->ErrorCode() == CError_ModemStatusFailed;
    // A driver refuses to set RTS by hand while its handshake drives it: the lines are there.
    if (failure->ErrorCode() == CError_EscapeCommFailed &&
        failure->OsErrorCode() == ERROR_INVALID_PARAMETER && o.Flow == fcHardware)
        return text + "; the stored FlowControl=" + FlowControlToStr(fcHardware) + " in " +
               BoardSettingsPath() +
               " lets the handshake drive RTS, which the board protocol sets itself: store no "
               "flow control";
    if (failure->ErrorCode() != CError_OpenFailed && !lineControl)
        return text;
    const std::string problem = PortDeviceProblem(port, lineControl);
    if (!problem.empty())
        text += "; " + PortDevice(port) + " " + problem;
    return text;
}

std::string DeviationText(std::size_t deviations) {
    if (deviations == 0)
        return {};
    return "the simulated board found " + std::to_string(deviations) +
           (deviations == 1 ? " deviation" : " deviations") + " from the download protocol";
}

void RequireNoDeviation(std::size_t deviations) {
    if (deviations > 0)
        throw Failure(DeviationText(deviations));
}

void RunSend(const ParsedCommand& args, Context& context) {
    const PortOptions o = ReadPortOptions(args, "send", context);
    const std::string& path = args.Operands.at(0);
    const std::string saveTo = args.Value("save-received").value_or("");
    if (args.Has("save-received") && !o.Simulated)
        throw UsageError("send: --save-received needs --port SIM");
    if (args.Has("save-received") && saveTo.empty())
        throw UsageError("send: the --save-received file name is empty");
    const std::optional<double> monitor = ReadSeconds(args, "monitor", "send");

    // The file is loaded once, and a file that cannot be sent is refused before the port is
    // opened: opening a port moves its lines, which a board may take for a reset.
    HexImage image;
    RequireUsable(path, ReadHexFile(path, image));

    const std::unique_ptr<TLocalBoard> board = CreateBoard(o);
    // Ctrl-C ends the download with the board released from reset, and is reported.
    const EventHandle stop;
    const auto stopRequests = CatchStopRequests(stop.Get());
    CliObserver observer(context, o, path, stop.Get());
    std::string portError;
    {
        TComPort port;
        SetUpPort(port, o);
        try {
            port.Open();
            SendImage(port, image, observer);
            if (monitor) {
                observer.EndProgress();
                MonitorPort(port, MonitorOptions{monitor, args.Has("lines")}, context, stop.Get());
            }
            port.Close();
        } catch (const Exception& e) { // EComPort; EDownload for a write that timed out;
                                       // EDownloadStopped for Ctrl-C
            portError = PortFailureText(o, e);
        }
    }
    observer.EndProgress();
    std::size_t deviations = 0;
    std::string saveError;
    if (board) {
        deviations = Report(
            context, *board, o,
            std::vector<std::uint8_t>(image.DownloadBytes().begin(), image.DownloadBytes().end()));
        if (!saveTo.empty())
            saveError = SaveReceived(*board, saveTo);
    }
    // The download's own failure comes first; a save that failed too is said after it.
    std::string failure = portError;
    if (failure.empty() && board)
        failure = ProgramFailureText(board->Transcript());
    if (failure.empty())
        failure = DeviationText(deviations);
    if (!failure.empty())
        throw Failure(saveError.empty() ? failure : failure + "; and " + saveError);
    if (!saveError.empty())
        throw Failure(saveError);
}

void RunMonitor(const ParsedCommand& args, Context& context) {
    const PortOptions o = ReadPortOptions(args, "monitor", context);
    const MonitorOptions m{ReadSeconds(args, "for", "monitor"), args.Has("lines")};
    const std::unique_ptr<TLocalBoard> board = CreateBoard(o);
    TComPort port;
    SetUpPort(port, o);
    try {
        port.Open();
        MonitorPort(port, m, context);
        port.Close();
    } catch (const Exception& e) {
        throw Failure(PortFailureText(o, e));
    }
}

void RunReset(const ParsedCommand& args, Context& context) {
    const PortOptions o = ReadPortOptions(args, "reset", context);
    const std::unique_ptr<TLocalBoard> board = CreateBoard(o);
    const EventHandle stop;
    const auto stopRequests = CatchStopRequests(stop.Get());
    std::string portError;
    {
        TComPort port;
        SetUpPort(port, o);
        try {
            port.Open();
            ResetBoard(port, stop.Get());
            port.Close();
            if (!o.Quiet)
                context.Out << o.Port << ": board reset (DTR pulse of " << DownloadPulseMs << " ms)"
                            << std::endl;
        } catch (const Exception& e) {
            portError = PortFailureText(o, e);
        }
    }
    std::size_t deviations = 0;
    if (board)
        deviations = Report(context, *board, o, std::nullopt);
    if (!portError.empty())
        throw Failure(portError);
    RequireNoDeviation(deviations);
}

// ---- ports ---------------------------------------------------------------------------------

std::string SysClassTty() {
    const char* root = std::getenv("ZELVATOR_SYS_CLASS_TTY");
    return root != nullptr && *root != '\0' ? root : "/sys/class/tty";
}

std::string FirstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// What sysfs says about a tty, without opening the device: its driver and, for a USB adapter,
// the vendor and product.
std::string TtyDetails(const std::string& tty) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::path(SysClassTty()) / tty;
    std::vector<std::string> parts;
    const fs::path driver = fs::read_symlink(base / "device" / "driver", error);
    if (!error)
        parts.push_back("driver " + driver.filename().string());
    fs::path device = fs::canonical(base / "device", error);
    for (int up = 0; !error && up < 8 && device.has_relative_path(); ++up) {
        if (fs::exists(device / "idVendor", error)) {
            std::string usb =
                "USB " + FirstLine(device / "idVendor") + ":" + FirstLine(device / "idProduct");
            for (const char* name : {"manufacturer", "product"}) {
                const std::string text = FirstLine(device / name);
                if (!text.empty())
                    usb += " " + text;
            }
            const std::string serial = FirstLine(device / "serial");
            if (!serial.empty())
                usb += " (serial " + serial + ")";
            parts.push_back(usb);
            break;
        }
        device = device.parent_path();
    }
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : ", ") + part;
    return text.empty() ? "no details in sysfs" : text;
}

// The device behind each listed port name, as the system's port list gives it.
std::map<std::string, std::string> PortDevices() {
    std::map<std::string, std::string> devices;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return devices;
    for (DWORD i = 0;; ++i) {
        char name[512];
        DWORD nameLength = sizeof name;
        BYTE data[512];
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) !=
            ERROR_SUCCESS)
            break;
        if (type == REG_SZ && dataLength > 0)
            devices[std::string(reinterpret_cast<const char*>(data))] = name;
    }
    RegCloseKey(key);
    return devices;
}

void RunPorts(const ParsedCommand&, Context& context) {
    TStringList names;
    try {
        EnumComPorts(&names);
    } catch (const EComPort& e) {
        // Windows makes the port list's key only once a serial driver registered a port: a
        // machine without one has no key, and no port.
        if (e.OsErrorCode() != ERROR_FILE_NOT_FOUND)
            throw Failure(std::string("cannot list the serial ports: ") + e.what());
    }
    const std::map<std::string, std::string> devices = PortDevices();
    std::size_t width = kSimPort.size();
    for (int i = 0; i < names.Count(); ++i)
        width = std::max(width, names[i].size());

    for (int i = 0; i < names.Count(); ++i) {
        const std::string name = names[i];
        const auto found = devices.find(name);
        const std::string device = found != devices.end() ? found->second : "";
        context.Out << std::left << std::setw(static_cast<int>(width) + 2) << name << std::right;
        if (device.rfind("/dev/", 0) == 0)
            context.Out << device << "  " << TtyDetails(device.substr(5)) << "\n";
        else
            context.Out << (device.empty() ? "?" : device) << "\n";
    }
    if (names.Count() == 0)
        context.Out << "(no serial ports found)\n";
    if (LocalBoardAvailable())
        context.Out << std::left << std::setw(static_cast<int>(width) + 2) << kSimPort << std::right
                    << "the simulated board, created by " << kProgram << " --port SIM\n";
}

} // namespace

Command SendCommand() {
    static std::string description;
    return {
        {"send",
         "FILE",
         "download a HEX file into the board",
         WithStoredDefaults(
             description,
             "Downloads a HEX file into the simulator board as the window's \"Write Program to\n"
             "Sim\" does: opens the port (RTS on, DTR off), puts the board into load mode (RTS\n"
             "off, a 250 ms DTR pulse, 250 ms), sends the image from address 0 to the image end\n"
             "in one write, waits 250 ms and starts the board (RTS on, a 250 ms DTR pulse). A\n"
             "file with a bad record is refused before the port is opened.\n"
             "With --port SIM the simulated board receives the program and its transcript and\n"
             "verdict are printed; the exit status is 1 when it found deviations from the\n"
             "protocol or the program could not run. With --monitor SECONDS what the board\n"
             "sends after it started is printed for that long before the port is closed.\n"
             "Progress is shown on a terminal unless -q is given. Ctrl-C stops the download\n"
             "with DTR off (the board is not left in reset) and exits with 1."),
         {kPortOption, kBaudOption, kQuietOption, kMonitorOption, kLinesOption, kSaveOption,
          kToleranceOption, kSlackOption},
         1,
         1},
        RunSend};
}

Command MonitorCommand() {
    static std::string description;
    return {{"monitor",
             "",
             "print what arrives on a port",
             WithStoredDefaults(
                 description,
                 "Opens the port (RTS on, DTR off, as the window's ComPort1) and writes the bytes\n"
                 "that arrive to standard output as they come, until --for SECONDS have passed or\n"
                 "Ctrl-C is pressed; then closes the port. With --lines what arrives is cut into\n"
                 "lines, each printed with the seconds since the start. send --monitor SECONDS\n"
                 "(with or without --lines) does the same on the port it downloaded through,\n"
                 "which the simulated board needs: it lives in the command's own process."),
             {kPortOption, kBaudOption, kForOption, kLinesOption},
             0,
             0},
            RunMonitor};
}

Command ResetCommand() {
    static std::string description;
    return {
        {"reset",
         "",
         "reset the board with a DTR pulse",
         WithStoredDefaults(
             description,
             "Opens the port (RTS on, DTR off) and resets the board as the window's \"Reset\"\n"
             "does: 50 ms, then a 250 ms DTR pulse; RTS stays on, so the board runs its\n"
             "program. With --port SIM the simulated board's transcript and verdict are printed."),
         {kPortOption, kBaudOption, kQuietOption, kToleranceOption, kSlackOption},
         0,
         0},
        RunReset};
}

Command PortsCommand() {
    return {{"ports",
             "",
             "list the serial ports",
             "Lists the serial ports the system knows, with the device, its driver and, for a\n"
             "USB adapter, the vendor and product, read from sysfs without opening any device;\n"
             "and SIM, the simulated board.",
             {},
             0,
             0},
            RunPorts};
}

} // namespace zv::cli
