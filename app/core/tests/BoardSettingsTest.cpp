// The remembered port: what a store writes loads back the same, a missing file leaves the port as
// it is, and a damaged file or value leaves it as it is too and says what is wrong.
#include "app/core/BoardSettings.h"
#include "platform/tests/TemporaryConfigHome.h"

#include "app/core/Download.h"
#include "cport/ComPort.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using namespace zv;
using namespace std::string_literals;
namespace fs = std::filesystem;

// The whole program's configuration folder is a temporary one, never the user's.
const zv::test::TemporaryConfigHome configHome;

// The basic settings of a port, compared as a whole.
struct Line {
    std::string port = "COM1";
    TBaudRate baud = br9600;
    std::int32_t custom = 9600;
    TStopBits stop = sbOneStopBit;
    TDataBits data = dbEight;
    TParityBits parity = prNone;
    TFlowControl flow = fcNone;
    bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Line& l) {
    return out << l.port << " " << BaudRateToStr(l.baud) << "/" << l.custom << " "
               << DataBitsToStr(l.data) << ParityToStr(l.parity) << StopBitsToStr(l.stop) << " "
               << FlowControlToStr(l.flow);
}

Line LineOf(TCustomComPort& p) {
    return {p.Port(),
            p.BaudRate(),
            p.CustomBaudRate(),
            p.StopBits(),
            p.DataBits(),
            p.Parity()->Bits(),
            p.FlowControl()->GetFlowControl()};
}

void SetLine(TCustomComPort& p, const Line& l) {
    p.SetPort(l.port);
    p.SetCustomBaudRate(l.custom);
    p.SetBaudRate(l.baud);
    p.SetStopBits(l.stop);
    p.SetDataBits(l.data);
    p.Parity()->SetBits(l.parity);
    p.FlowControl()->SetFlowControl(l.flow);
}

// A port as the window's ComPort1, never opened.
struct BoardPort {
    BoardPort() {
        ConfigureBoardPort(port);
        port.SetName(BoardPortName);
    }
    TComPort port;
};

void Put(const std::string& name, const std::string& content) {
    fs::create_directories(configHome.Folder());
    std::ofstream(configHome.Folder() / name, std::ios::binary) << content;
}

TEST(BoardSettings, WhatIsStoredLoadsBackAsItWas) {
    const Line lines[] = {
        {"SIM", br19200},
        {"/dev/ttyUSB0", br115200, 9600, sbTwoStopBits, dbSeven, prEven, fcHardware},
        {"ttyS3", brCustom, 250000, sbOneStopBit, dbEight, prMark, fcSoftware},
        {"COM2", br110, 9600, sbOne5StopBits, dbFive, prSpace, fcNone},
    };
    for (const Line& line : lines) {
        BoardPort stored;
        SetLine(stored.port, line);
        ASSERT_NO_THROW(StoreBoardSettings(stored.port));
        BoardPort loaded;
        const TBoardSettingsLoad result = LoadBoardSettings(loaded.port);
        EXPECT_EQ(result.State, bsLoaded) << result.Problem;
        EXPECT_EQ(LineOf(loaded.port), line);
        // What the board needs of its port is not among the stored settings.
        EXPECT_EQ(loaded.port.FlowControl()->ControlDTR(), dtrDisable);
        EXPECT_EQ(loaded.port.Buffer()->OutputSize(), 34000);
    }
    EXPECT_TRUE(fs::is_regular_file(configHome.Folder() / BoardSettingsFileName));
    EXPECT_EQ(BoardSettingsPath(), (configHome.Folder() / BoardSettingsFileName).string());
}

TEST(BoardSettings, WhatTheFileHoldsDecidesWhetherThePortTakesIt) {
    const Line defaults;
    const struct Case {
        const char* what;
        std::string content; // empty: no file at all
        TBoardSettingsState state;
        const char* problem; // a part of the message (bsRefused)
        Line line;           // the port afterwards
    } cases[] = {
        {"no file", "", bsNone, "", defaults},
        {"names and blanks as the profile functions read them",
         "; ours\n[comport1]\n  port = SIM \nBAUDRATE=19200\nParity=even\n", bsLoaded, "",
         Line{"SIM", br19200, 9600, sbOneStopBit, dbEight, prEven}},
        {"a custom speed without its number", "[ComPort1]\nBaudRate=Custom\n", bsLoaded, "",
         Line{"COM1", brCustom}},
        {"a hexadecimal custom speed", "[ComPort1]\nBaudRate=Custom\nCustomBaudRate=0x3D090\n",
         bsLoaded, "", Line{"COM1", brCustom, 250000}},
        {"binary garbage", "\x01\xff[\x80=\0\x02\nPort=SIM\n"s, bsRefused,
         "holds no [ComPort1] section", defaults},
        {"a header without its bracket", "[ComPort1\nPort=SIM\n", bsRefused,
         "holds no [ComPort1] section", defaults},
        {"only another port", "[ComPort2]\nPort=SIM\n", bsRefused, "holds no [ComPort1] section",
         defaults},
        {"an empty port name", "[ComPort1]\nPort=\nBaudRate=19200\n", bsRefused,
         "Port= names no port", defaults},
        {"an unknown speed", "[ComPort1]\nPort=SIM\nBaudRate=fast\n", bsRefused,
         "BaudRate=fast is not a value of BaudRate", defaults},
        {"a custom speed that is no number",
         "[ComPort1]\nPort=SIM\nBaudRate=Custom\nCustomBaudRate=x\n", bsRefused,
         "CustomBaudRate=x is not a speed", defaults},
        {"a negative custom speed", "[ComPort1]\nBaudRate=Custom\nCustomBaudRate=-9600\n",
         bsRefused, "CustomBaudRate=-9600", defaults},
        {"stop bits", "[ComPort1]\nStopBits=3\n", bsRefused, "StopBits=3", defaults},
        {"data bits", "[ComPort1]\nDataBits=9\n", bsRefused, "DataBits=9", defaults},
        {"1.5 stop bits with 8 data bits", "[ComPort1]\nStopBits=1.5\n", bsRefused,
         "StopBits=1.5 cannot be used with DataBits=8", defaults},
        {"2 stop bits with 5 data bits", "[ComPort1]\nStopBits=2\nDataBits=5\n", bsRefused,
         "StopBits=2 cannot be used with DataBits=5", defaults},
        {"1.5 stop bits with 5 data bits", "[ComPort1]\nStopBits=1.5\nDataBits=5\n", bsLoaded, "",
         Line{"COM1", br9600, 9600, sbOne5StopBits, dbFive}},
        {"parity", "[ComPort1]\nParity=purple\n", bsRefused, "Parity=purple", defaults},
        {"flow control", "[ComPort1]\nFlowControl=maybe\n", bsRefused, "FlowControl=maybe",
         defaults},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = "case" + std::to_string(++n) + ".ini";
        if (!c.content.empty())
            Put(name, c.content);
        BoardPort board;
        const TBoardSettingsLoad result = LoadBoardSettings(board.port, name);
        EXPECT_EQ(result.State, c.state) << result.Problem;
        if (c.state == bsRefused) {
            EXPECT_NE(result.Problem.find(c.problem), std::string::npos) << result.Problem;
            EXPECT_EQ(result.Problem.rfind(BoardSettingsPath(name) + ": ", 0), 0u)
                << "the message names the file: " << result.Problem;
        } else {
            EXPECT_EQ(result.Problem, "");
        }
        EXPECT_EQ(LineOf(board.port), c.line);
    }
}

TEST(BoardSettings, AFolderInPlaceOfTheFileIsRefused) {
    fs::create_directories(configHome.Folder() / "folder.ini");
    BoardPort board;
    const TBoardSettingsLoad result = LoadBoardSettings(board.port, "folder.ini");
    EXPECT_EQ(result.State, bsRefused);
    EXPECT_NE(result.Problem.find("not a regular file"), std::string::npos) << result.Problem;
    EXPECT_EQ(LineOf(board.port), Line{});
}

TEST(BoardSettings, AStoreThatCannotBeWrittenSaysWhereAndWhy) {
    // A file where the file's folder should be: no privilege makes that writable.
    Put("blocker", "not a folder");
    const std::string file = (configHome.Folder() / "blocker" / "zelvator.ini").string();
    BoardPort board;
    try {
        StoreBoardSettings(board.port, file);
        ADD_FAILURE() << "the store succeeded";
    } catch (const Exception& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("Failed to store settings in " + file + " (win error code: ", 0),
                  0u)
            << message;
        EXPECT_EQ(message.find("win error code: 0)"), std::string::npos) << message;
    }
    EXPECT_FALSE(fs::exists(file));
}

} // namespace
