// zelvator-cli send, reset and ports, run as a program: exit status, messages, the simulated
// board's transcript and verdict, and the bytes it stored. No test here touches a real serial
// device: every port is the in-process simulated board or a name that exists nowhere.
//
// The board judges real 250 ms waits. So that a busy machine does not fail the verdict, runs
// that expect "verdict: OK" give it a wide scheduling slack (--slack 250: a wait may end up to
// 540 ms); a wait left out or doubled is still outside.
#include "ProgramRun.h"
#include "app/core/HexImage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clitest::ReadAll;
using clitest::Result;
using clitest::Spawn;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class PortCommands : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("zelvator_cli_port_" + std::to_string(getpid()) + "_" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs zelvator-cli with stdout and stderr in files (so neither is a terminal).
    Result Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv = args;
        argv.insert(argv.begin(), ZELVATOR_CLI_PATH);
        return Spawn(argv, dir_, env);
    }

    std::string File(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
        return (dir_ / name).string();
    }

    fs::path dir_;
};

const std::string kHello = std::string(ZELVATOR_SOURCE_DIR) + "/examples/hello/hello.ihx";

std::string ImageOf(const std::string& path) {
    const std::string text = ReadAll(path);
    zv::HexImage image;
    zv::LoadHexBytes(std::vector<std::uint8_t>(text.begin(), text.end()), image);
    const auto bytes = image.DownloadBytes();
    return std::string(bytes.begin(), bytes.end());
}

void ExpectOneErrorLine(const Result& r, const std::string& message) {
    EXPECT_EQ(r.err, "zelvator-cli: " + message + "\n");
}

TEST_F(PortCommands, SendIntoTheSimulatedBoard) {
    const std::string saved = (dir_ / "received.bin").string();
    const Result r =
        Run({"send", "--port", "SIM", kHello, "--save-received", saved, "--slack", "250"});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(r.err, "") << "no progress when stderr is not a terminal";
    const std::string image = ImageOf(kHello);
    EXPECT_TRUE(Has(r.out, kHello + ": image end " + std::to_string(image.size() - 1) +
                               ", sending " + std::to_string(image.size()) +
                               " bytes to SIM at 9600 bit/s\n"))
        << r.out;
    for (const char* line : {"SIM: transcript", "port opened", "settings 9600 baud 8N1",
                             "DTR off: reset pulse", "board loads", "board runs", "port closed",
                             "verdict: OK (1 download, 0 resets, no deviation)"})
        EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
    EXPECT_TRUE(Has(r.out, "received " + std::to_string(image.size()) + " bytes")) << r.out;
    EXPECT_EQ(ReadAll(saved), image) << "the board stores ImageEnd + 1 bytes equal to the image";
}

TEST_F(PortCommands, QuietSpeedAndCustomSpeed) {
    Result r = Run({"send", "-q", "-p", "sim", "--baud", "115200", kHello, "--slack=250"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Has(r.out, "image end")) << r.out;
    EXPECT_TRUE(Has(r.out, "settings 115200 baud 8N1")) << r.out;
    EXPECT_TRUE(Has(r.out, "verdict: OK")) << r.out;

    const std::string one = File("one.ihx", ":00000001FF\n");
    r = Run({"send", "--port=SIM", "-b", "12345", one, "--save-received", (dir_ / "r").string(),
             "--slack", "250"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "settings 12345 baud 8N1")) << r.out;
    EXPECT_TRUE(Has(r.out, "image end 0, sending 1 byte to SIM at 12345 bit/s")) << r.out;
    EXPECT_EQ(ReadAll(dir_ / "r"), std::string(1, '\0'));
}

TEST_F(PortCommands, ResetTheSimulatedBoard) {
    const Result r = Run({"reset", "--port", "SIM", "--slack", "250"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "SIM: board reset (DTR pulse of 250 ms)")) << r.out;
    EXPECT_TRUE(Has(r.out, "reset pulses: 1")) << r.out;
    EXPECT_TRUE(Has(r.out, "verdict: OK (0 downloads, 1 reset, no deviation)")) << r.out;
}

TEST_F(PortCommands, DeviationsFromTheProtocolExitWithOne) {
    // No tolerance and no slack: each 250 ms wait lasts a little longer than 250 ms, so the
    // verdict must find it.
    const Result r =
        Run({"send", "--port", "SIM", kHello, "--tolerance", "0", "--slack", "0", "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "DEVIATION")) << r.out;
    EXPECT_TRUE(Has(r.out, "expected 250 ms (accepted 250-250 ms)")) << r.out;
    EXPECT_EQ(r.err.rfind("zelvator-cli: the simulated board found ", 0), 0u) << r.err;
    EXPECT_TRUE(Has(r.err, " from the download protocol\n")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;

    // A save that fails as well does not hide the download's failure.
    const std::string unwritable = (dir_ / "no-such-folder" / "r.bin").string();
    const Result both = Run({"send", "--port", "SIM", kHello, "--tolerance", "0", "--slack", "0",
                             "-q", "--save-received", unwritable});
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.err.rfind("zelvator-cli: the simulated board found ", 0), 0u) << both.err;
    EXPECT_TRUE(Has(both.err, " from the download protocol; and cannot write '" + unwritable))
        << both.err;
    EXPECT_EQ(std::count(both.err.begin(), both.err.end(), '\n'), 1) << both.err;
}

TEST_F(PortCommands, WrongUsageExitsWithTwo) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"send"}, "send: missing FILE"},
        {{"send", "--baud", "fast", "x.ihx"}, "send: line speed 'fast' is not a number"},
        {{"send", "--baud", "0", "x.ihx"}, "send: line speed '0' is not a number"},
        {{"send", "--baud", "99999999999", "x.ihx"}, "send: line speed '99999999999'"},
        {{"send", "--port", "", "x.ihx"}, "send: the port name is empty"},
        {{"send", "--save-received", "o.bin", "x.ihx"}, "send: --save-received needs --port SIM"},
        {{"reset", "x"}, "reset: unexpected argument 'x'"},
        {{"reset", "--slack", "100"}, "reset: --slack needs --port SIM"},
        {{"send", "--tolerance", "10", "x.ihx"}, "send: --tolerance needs --port SIM"},
        {{"reset", "--port", "SIM", "--slack", "-1"}, "reset: slack '-1' is not a number"},
        {{"reset", "--save-received", "o"}, "reset: unknown option '--save-received'"},
        {{"ports", "--port", "SIM"}, "ports: unknown option '--port'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Result r = Run(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(Has(r.err, c.message)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(PortCommands, FailuresExitWithOneAndOneLine) {
    const std::string missing = (dir_ / "missing.ihx").string();
    Result r = Run({"send", "--port", "SIM", missing});
    EXPECT_EQ(r.status, 1);
    ExpectOneErrorLine(r, "cannot open '" + missing +
                              "': The system cannot find the file specified. (error 2)");
    EXPECT_EQ(r.out, "") << "refused before the port is opened: no board, no transcript";

    const std::string bad = File("bad.ihx", ":03000000020006F5\n:0300030002000000\n");
    r = Run({"send", "--port", "SIM", bad});
    EXPECT_EQ(r.status, 1);
    ExpectOneErrorLine(r, "bad HEX file '" + bad + "': line 2: checksum mismatch");
    EXPECT_EQ(r.out, "");

    // A port that exists nowhere: the port's own message, and the device it looked for.
    r = Run({"send", "--port", "ZVNOSUCHPORT", kHello});
    EXPECT_EQ(r.status, 1);
    ExpectOneErrorLine(r, "ZVNOSUCHPORT: Unable to open com port (win error code: 2); "
                          "/dev/ZVNOSUCHPORT does not exist");
    r = Run({"reset", "--port", "ZVNOSUCHPORT"});
    EXPECT_EQ(r.status, 1);
    ExpectOneErrorLine(r, "ZVNOSUCHPORT: Unable to open com port (win error code: 2); "
                          "/dev/ZVNOSUCHPORT does not exist");
}

TEST_F(PortCommands, WhatIsNoSerialPortIsNamed) {
    const std::string file = File("plain.txt", "not a port");
    const fs::path fifo = dir_ / "line.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A pseudo-terminal of our own: a terminal, but without RTS and DTR.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string pty = ptsname(master);
    const struct {
        std::string port;
        std::string message; // after "PORT: "
    } cases[] = {
        {file, "Unable to open com port (win error code: 2); " + file +
                   " is a regular file, not a serial device"},
        {fifo.string(), "Unable to open com port (win error code: 2); " + fifo.string() +
                            " is a pipe, not a serial device"},
        {"/dev/null", "Unable to open com port (win error code: 2); /dev/null is a device that is "
                      "not a serial device"},
        {pty, "EscapeCommFunction function failed (win error code: 1); " + pty +
                  " is a pseudo-terminal: it has no modem control lines (RTS/DTR), which the "
                  "board protocol needs"},
    };
    for (const auto& c : cases) {
        for (const char* command : {"reset", "send"}) {
            SCOPED_TRACE(c.port + " " + command);
            std::vector<std::string> args{ZELVATOR_CLI_PATH, command, "--port", c.port};
            if (std::string(command) == "send")
                args.push_back(kHello);
            const Result r = Spawn(args, dir_, {}, 20);
            EXPECT_EQ(r.status, 1);
            ExpectOneErrorLine(r, c.port + ": " + c.message);
        }
    }
    close(master);
}

TEST_F(PortCommands, PortsShowWhatSysfsKnows) {
    // A sysfs tree of our own: a 16550 UART, a placeholder without a UART, a USB adapter.
    const fs::path sys = dir_ / "sys";
    const fs::path tty = sys / "class" / "tty";
    const fs::path usb = sys / "devices" / "usb1" / "1-1";
    const fs::path usbTty = usb / "1-1:1.0" / "ttyUSB0";
    const fs::path uart = sys / "devices" / "serial8250" / "tty" / "ttyS0";
    for (const fs::path& p : {tty / "ttyUSB0", tty / "ttyS0", tty / "ttyS1" / "device", usbTty,
                              uart, sys / "drivers" / "ftdi_sio", sys / "drivers" / "serial8250"})
        fs::create_directories(p);
    fs::create_directory_symlink(usbTty, tty / "ttyUSB0" / "device");
    fs::create_directory_symlink(uart, tty / "ttyS0" / "device");
    fs::create_directory_symlink(sys / "drivers" / "ftdi_sio", usbTty / "driver");
    fs::create_directory_symlink(sys / "drivers" / "serial8250", uart / "driver");
    std::ofstream(tty / "ttyS0" / "type") << "4\n";
    std::ofstream(tty / "ttyS1" / "type") << "0\n";
    // A name that is no COM port number: left out, the rest listed.
    fs::create_directories(tty / "ttyS1234567890123456789012345" / "device");
    std::ofstream(tty / "ttyS1234567890123456789012345" / "type") << "4\n";
    std::ofstream(usb / "idVendor") << "0403\n";
    std::ofstream(usb / "idProduct") << "6001\n";
    std::ofstream(usb / "manufacturer") << "FTDI\n";
    std::ofstream(usb / "product") << "FT232R USB UART\n";
    std::ofstream(usb / "serial") << "A50285BI\n";

    const Result r = Run({"ports"}, {"ZELVATOR_SYS_CLASS_TTY=" + tty.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "COM1     /dev/ttyS0  driver serial8250\n"
                     "ttyUSB0  /dev/ttyUSB0  driver ftdi_sio, USB 0403:6001 FTDI FT232R USB UART "
                     "(serial A50285BI)\n"
                     "SIM      the simulated board, created by zelvator-cli --port SIM\n");

    const Result none = Run({"ports"}, {"ZELVATOR_SYS_CLASS_TTY=" + (dir_ / "none").string()});
    EXPECT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out, "(no serial ports found)\n"
                        "SIM  the simulated board, created by zelvator-cli --port SIM\n");
}

TEST_F(PortCommands, HelpNamesTheOptions) {
    const Result r = Run({"send", "--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"--port NAME", "--baud RATE", "--quiet", "--save-received OUT"})
        EXPECT_TRUE(Has(r.out, option)) << option << "\n" << r.out;
    // Where the defaults come from, for every command that opens a port.
    for (const char* command : {"send", "reset", "monitor"}) {
        const Result help = Run({command, "--help"});
        for (const char* part :
             {"default: the stored one, else COM1", "section [ComPort1] of\nzelvator.ini",
              "$XDG_CONFIG_HOME/zelvator, else\n~/.config/zelvator",
              "--port and --baud win over them"})
            EXPECT_TRUE(Has(help.out, part)) << command << ": " << part << "\n" << help.out;
    }
}

// The port, its speed and its line format: an option wins over the window's stored settings,
// which win over the built-in ones.
TEST_F(PortCommands, OptionsWinOverTheStoredPortWhichWinsOverTheBuiltInOne) {
    const std::string stored = "[ComPort1]\nPort=sim\nBaudRate=19200\nParity=Even\n";
    const struct Case {
        const char* what;
        std::string file; // zelvator.ini; empty: none
        std::vector<std::string> args;
        int status;
        std::vector<std::string> out; // parts of the output
        std::string err;              // a part of the error output; empty: none at all
    } cases[] = {
        {"built-in speed and format",
         "",
         {"reset", "--port", "SIM"},
         0,
         {"SIM: board reset", "settings 9600 baud 8N1"},
         ""},
        {"all stored", stored, {"reset"}, 0, {"SIM: board reset", "settings 19200 baud 8E1"}, ""},
        {"--baud wins",
         stored,
         {"reset", "-b", "115200"},
         0,
         {"SIM: board reset", "settings 115200 baud 8E1"},
         ""},
        {"--port wins",
         stored,
         {"reset", "--port", "ZVNOSUCHPORT"},
         1,
         {},
         "ZVNOSUCHPORT: Unable to open com port"},
        {"a stored custom speed and format",
         "[ComPort1]\nBaudRate=Custom\nCustomBaudRate=12345\nDataBits=7\nStopBits=2\n",
         {"reset", "--port", "SIM"},
         0,
         {"settings 12345 baud 7N2"},
         ""},
        {"a damaged file is said and left out",
         "[ComPort1]\nPort=SIM\nBaudRate=fast\nParity=Odd\n",
         {"reset", "-q", "-p", "SIM"},
         0,
         {"settings 9600 baud 8N1"},
         "zelvator-cli: warning: " + (dir_ / "config/zelvator/zelvator.ini").string() +
             ": BaudRate=fast is not a value of BaudRate; the stored port settings are not used\n"},
        {"a stored hardware handshake is named, not the device",
         "[ComPort1]\nPort=SIM\nFlowControl=Hardware\n",
         {"reset"},
         1,
         {},
         "; the stored FlowControl=Hardware in " +
             (dir_ / "config/zelvator/zelvator.ini").string() + " lets the handshake drive RTS"},
        {"send takes the stored port too",
         stored,
         {"send", kHello},
         0,
         {"bytes to SIM at 19200 bit/s", "settings 19200 baud 8E1", "verdict: OK"},
         ""},
    };
    const fs::path folder = dir_ / "config" / "zelvator";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder);
        if (!c.file.empty()) {
            fs::create_directories(folder);
            std::ofstream(folder / "zelvator.ini", std::ios::binary) << c.file;
        }
        std::vector<std::string> args = c.args;
        if (c.status == 0)
            args.insert(args.end(), {"--slack", "250"});
        const Result r = Run(args, {"XDG_CONFIG_HOME=" + (dir_ / "config").string()});
        EXPECT_EQ(r.status, c.status) << r.err << r.out;
        for (const std::string& part : c.out)
            EXPECT_TRUE(Has(r.out, part)) << part << "\n" << r.out;
        if (c.err.empty())
            EXPECT_EQ(r.err, "");
        else
            EXPECT_TRUE(Has(r.err, c.err)) << r.err;
        EXPECT_EQ(fs::exists(folder / "zelvator.ini"), !c.file.empty()) << "the CLI writes nothing";
    }
}

} // namespace
