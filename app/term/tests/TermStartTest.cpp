// The command line and the port's settings as the status bar shows them.
#include "app/term/TermStart.h"

#include "cport/ComPort.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace zv {
namespace {

TEST(TermStart, ParsesPortAndSpeedAndRefusesTheRest) {
    struct ArgsCase {
        std::vector<std::string> args;
        std::optional<std::string> port;
        std::optional<std::int32_t> baud;
        const char* error; // part of the message, nullptr when accepted
    };
    const ArgsCase cases[] = {
        {{}, std::nullopt, std::nullopt, nullptr},
        {{"--port", "SIM"}, "SIM", std::nullopt, nullptr},
        {{"--port=/dev/ttyUSB0", "--baud=115200"}, "/dev/ttyUSB0", 115200, nullptr},
        {{"--baud", "250000", "--port", "COM3"}, "COM3", 250000, nullptr},
        {{"--port"}, std::nullopt, std::nullopt, "--port needs a value"},
        {{"--port="}, std::nullopt, std::nullopt, "--port needs a port name"},
        {{"--baud", "fast"}, std::nullopt, std::nullopt, "not \"fast\""},
        {{"--baud", "0"}, std::nullopt, std::nullopt, "from 1 to 4000000"},
        {{"--baud", "9600x"}, std::nullopt, std::nullopt, "not \"9600x\""},
        {{"--baud", "99999999999"}, std::nullopt, std::nullopt, "from 1 to"},
        {{"--speed", "9600"}, std::nullopt, std::nullopt, "unknown argument \"--speed\""},
        {{"SIM"}, std::nullopt, std::nullopt, "unknown argument \"SIM\""},
    };
    for (const ArgsCase& c : cases) {
        std::string joined;
        for (const std::string& a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        if (c.error) {
            try {
                ParseTermArgs(c.args);
                ADD_FAILURE() << "accepted";
            } catch (const ECommandLine& e) {
                EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
            }
            continue;
        }
        const TTermStart start = ParseTermArgs(c.args);
        EXPECT_EQ(start.Port, c.port);
        EXPECT_EQ(start.Baud, c.baud);
    }
    // Before Qt has taken out its own options, those are passed over; ours are still checked.
    const TTermStart start = ParseTermArgs({"-platform", "offscreen", "--port", "SIM"}, true);
    EXPECT_EQ(start.Port, "SIM");
    EXPECT_THROW(ParseTermArgs({"-platform", "offscreen", "--baud", "x"}, true), ECommandLine);
}

TEST(TermStart, SpeedAndLineSettingsText) {
    struct SpeedCase {
        std::int32_t rate;
        TBaudRate baud;
        const char* text;
    };
    const SpeedCase cases[] = {
        {9600, br9600, "9600 8-N-1"},
        {115200, br115200, "115200 8-N-1"},
        {250000, brCustom, "250000 8-N-1"},
        {110, br110, "110 8-N-1"},
    };
    for (const SpeedCase& c : cases) {
        TComPort port;
        SetPortSpeed(port, c.rate);
        EXPECT_EQ(port.BaudRate(), c.baud) << c.rate;
        EXPECT_EQ(LineSettingsText(port), c.text);
    }
    TComPort port;
    port.SetDataBits(dbSeven);
    port.Parity()->SetBits(prEven);
    port.SetStopBits(sbTwoStopBits);
    port.FlowControl()->SetFlowControl(fcHardware);
    EXPECT_EQ(LineSettingsText(port), "9600 7-E-2 hardware");
    port.SetStopBits(sbOne5StopBits);
    port.Parity()->SetBits(prMark);
    port.FlowControl()->SetFlowControl(fcSoftware);
    EXPECT_EQ(LineSettingsText(port), "9600 7-M-1.5 software");
}

} // namespace
} // namespace zv
