// Settings storage: the encodings, which values each group writes through both media, what
// absent and empty values load as, the key text rules, every failure, and a load on an open
// port applying once.
#include "cport/ComStorage.h"
#include "PortTestSupport.h"
#include "platform/tests/TemporaryConfigHome.h"
#include "toolkit/IniFiles.h"
#include "toolkit/Registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace zv {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// The registry store and relative initialisation files of this program live in a temporary
// configuration folder.
const zv::test::TemporaryConfigHome configHome;

std::string TestName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}
// A file and a registry key text of this test's own.
std::string IniPath() {
    return configHome.dir + "/" + TestName() + ".ini";
}
std::string KeyText() {
    return "HKEY_CURRENT_USER\\Software\\StorageTest\\" + TestName();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The value names stored for a port, in the order they were written, from either medium.
Names StoredNames(TStoreType type, const std::string& location, const std::string& name) {
    Names names;
    if (type == stIniFile) {
        TIniFile file(location);
        TStringList list;
        file.ReadSection(name, list);
        for (int i = 0; i < list.Count(); ++i)
            names.push_back(list[i]);
        return names;
    }
    TRegistry reg;
    OpenSettingsKey(&reg, location, name);
    for (DWORD i = 0;; ++i) {
        char buf[128];
        DWORD len = sizeof buf;
        if (RegEnumValueA(reg.CurrentKey(), i, buf, &len, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(buf, len);
    }
    return names;
}

std::string Location(TStoreType type) {
    return type == stIniFile ? IniPath() : KeyText();
}

// Runs f and returns the EComPort code it raised (0 when none), checking that no system code
// rides along.
template <typename F> std::int32_t ErrorOf(F f) {
    try {
        f();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.OsErrorCode(), NoOsError);
        return e.ErrorCode();
    }
    return 0;
}

TEST(StoredEncodings, YesNoAndCharacterTexts) {
    struct YesNo {
        const char* text;
        bool value;
    } yesNo[] = {{"yes", true}, {"YES", true}, {"Yes", true},   {"yEs", true},   {"True", false},
                 {"1", false},  {"", false},   {" yes", false}, {"yes ", false}, {"No", false}};
    for (const YesNo& c : yesNo)
        EXPECT_EQ(YesNoToBool(c.text), c.value) << c.text;
    EXPECT_EQ(BoolToYesNo(true), "Yes");
    EXPECT_EQ(BoolToYesNo(false), "No");

    struct ToText {
        int code;
        const char* text;
    } toText[] = {{0, "#0"},     {17, "#17"},   {32, "#32"},   {33, "!"},    {65, "A"},
                  {127, "\x7f"}, {128, "#128"}, {200, "#200"}, {255, "#255"}};
    for (const ToText& c : toText)
        EXPECT_EQ(CharToSettingStr(static_cast<char>(c.code)), c.text) << c.code;

    struct FromText {
        const char* text;
        int code;
    } fromText[] = {{"#65", 65},  {"#321", 65}, {"#x", 0},   {"AB", 'A'}, {"#", '#'}, {"", 0},
                    {"#$41", 65}, {"#-1", 255}, {"#17x", 0}, {"A", 'A'},  {"#0", 0},  {"##", 0}};
    for (const FromText& c : fromText)
        EXPECT_EQ(static_cast<unsigned char>(SettingStrToChar(c.text)), c.code) << c.text;
}

TEST(StoredEncodings, LineControlTexts) {
    struct Case {
        const char* text;
        TDTRFlowControl dtr;
        TRTSFlowControl rts;
    } cases[] = {{"Disable", dtrDisable, rtsDisable},
                 {"enable", dtrEnable, rtsEnable},
                 {"HANDSHAKE", dtrHandshake, rtsHandshake},
                 {"Toggle", dtrDisable, rtsToggle},
                 {"", dtrDisable, rtsDisable},
                 {"Enabled", dtrDisable, rtsDisable}};
    for (const Case& c : cases) {
        EXPECT_EQ(StrToDTRControl(c.text), c.dtr) << c.text;
        EXPECT_EQ(StrToRTSControl(c.text), c.rts) << c.text;
    }
    EXPECT_EQ(DTRControlToStr(dtrHandshake), "Handshake");
    EXPECT_EQ(RTSControlToStr(rtsToggle), "Toggle");
}

TEST(StoredSettings, AFreshPortWritesTheBasicSectionExactly) {
    TComPort port;
    port.SetName("ComPort1");
    port.StoreSettings(stIniFile, IniPath());
    EXPECT_EQ(ReadFile(IniPath()), "[ComPort1]\nPort=COM1\nBaudRate=9600\nStopBits=1\nDataBits=8\n"
                                   "Parity=None\nFlowControl=None\n");
}

// Which names each selection of groups writes, in order, through both media.
TEST(StoredSettings, EachGroupWritesItsValuesInOrder) {
    const Names basic = {"Port", "BaudRate", "StopBits", "DataBits", "Parity", "FlowControl"};
    const Names flow = {"FlowControl.ControlRTS",     "FlowControl.ControlDTR",
                        "FlowControl.DSRSensitivity", "FlowControl.OutCTSFlow",
                        "FlowControl.OutDSRFlow",     "FlowControl.TxContinueOnXoff",
                        "FlowControl.XonXoffIn",      "FlowControl.XonXoffOut",
                        "FlowControl.XoffChar",       "FlowControl.XonChar"};
    const Names timeouts = {"Timeouts.ReadInterval", "Timeouts.ReadTotalConstant",
                            "Timeouts.ReadTotalMultiplier", "Timeouts.WriteTotalConstant",
                            "Timeouts.WriteTotalMultiplier"};
    auto join = [](std::initializer_list<Names> parts) {
        Names all;
        for (const Names& p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    struct Case {
        TStoredProps props;
        bool custom;
        Names expected;
    } cases[] = {
        {{spBasic}, false, basic},
        {{spBasic},
         true,
         {"Port", "BaudRate", "CustomBaudRate", "StopBits", "DataBits", "Parity", "FlowControl"}},
        {{spOthers}, false, {"EventChar", "DiscardNull"}},
        {{spParity}, false, {"Parity.Check", "Parity.Replace", "Parity.ReplaceChar"}},
        {{spBuffer}, false, {"Buffer.OutputSize", "Buffer.InputSize"}},
        {{spTimeouts}, false, timeouts},
        {{spFlowControl}, false, flow},
        {{}, false, {}},
        {TStoredProps::All(), false,
         join({basic,
               {"EventChar", "DiscardNull", "Parity.Check", "Parity.Replace", "Parity.ReplaceChar",
                "Buffer.OutputSize", "Buffer.InputSize"},
               timeouts,
               flow})},
    };
    int n = 0;
    for (TStoreType type : {stIniFile, stRegistry}) {
        for (const Case& c : cases) {
            TComPort port;
            port.SetName("Port" + std::to_string(++n));
            port.SetStoredProps(c.props);
            if (c.custom)
                port.SetBaudRate(brCustom);
            port.StoreSettings(type, Location(type));
            EXPECT_EQ(StoredNames(type, Location(type), port.Name()), c.expected)
                << "medium " << type << ", groups " << int(c.props.Bits());
        }
    }
}

TEST(StoredSettings, CharactersAndFlagsAreWrittenAsText) {
    TComPort port;
    port.SetName("ComPort1");
    port.SetStoredProps(TStoredProps::All());
    port.FlowControl()->SetXonChar(17);
    port.FlowControl()->SetXoffChar(' ');
    port.SetEventChar('A');
    port.Parity()->SetReplaceChar(0);
    port.SetDiscardNull(false);
    port.Parity()->SetCheck(true);
    port.StoreSettings(stIniFile, IniPath());
    TIniFile ini(IniPath());
    struct Case {
        const char* name;
        const char* text;
    } cases[] = {
        {"FlowControl.XonChar", "#17"}, {"FlowControl.XoffChar", "#32"}, {"EventChar", "A"},
        {"Parity.ReplaceChar", "#0"},   {"DiscardNull", "No"},           {"Parity.Check", "Yes"},
        {"Buffer.InputSize", "1024"},   {"Timeouts.ReadInterval", "-1"}};
    for (const Case& c : cases)
        EXPECT_EQ(ini.ReadString("ComPort1", c.name, "<absent>"), c.text) << c.name;
}

// Every setting changed from its default, stored and loaded into a fresh port, through both
// media.
TEST(StoredSettings, EverySettingRoundTrips) {
    for (TStoreType type : {stIniFile, stRegistry}) {
        TComPort a;
        a.SetName("RoundTrip");
        a.SetStoredProps(TStoredProps::All());
        a.SetPort("ttyUSB3");
        a.SetBaudRate(brCustom);
        a.SetCustomBaudRate(250000);
        a.SetStopBits(sbTwoStopBits);
        a.SetDataBits(dbSeven);
        a.Parity()->SetBits(prEven);
        a.Parity()->SetCheck(true);
        a.Parity()->SetReplace(true);
        a.Parity()->SetReplaceChar('?');
        a.SetEventChar('\n');
        a.SetDiscardNull(true);
        a.Buffer()->SetInputSize(4096);
        a.Buffer()->SetOutputSize(34000);
        a.Timeouts()->SetReadInterval(5);
        a.Timeouts()->SetReadTotalConstant(6);
        a.Timeouts()->SetReadTotalMultiplier(7);
        a.Timeouts()->SetWriteTotalConstant(8);
        a.Timeouts()->SetWriteTotalMultiplier(9);
        a.FlowControl()->SetControlRTS(rtsToggle);
        a.FlowControl()->SetControlDTR(dtrHandshake);
        a.FlowControl()->SetDSRSensitivity(true);
        a.FlowControl()->SetOutCTSFlow(true);
        a.FlowControl()->SetOutDSRFlow(true);
        a.FlowControl()->SetTxContinueOnXoff(true);
        a.FlowControl()->SetXonXoffIn(true);
        a.FlowControl()->SetXonXoffOut(true);
        a.FlowControl()->SetXonChar('\xC8');
        a.FlowControl()->SetXoffChar('x');
        a.StoreSettings(type, Location(type));

        TComPort b;
        b.SetName("RoundTrip");
        b.SetStoredProps(TStoredProps::All());
        b.LoadSettings(type, Location(type));
        EXPECT_EQ(b.Port(), "ttyUSB3");
        EXPECT_EQ(b.BaudRate(), brCustom);
        EXPECT_EQ(b.CustomBaudRate(), 250000);
        EXPECT_EQ(b.StopBits(), sbTwoStopBits);
        EXPECT_EQ(b.DataBits(), dbSeven);
        EXPECT_EQ(b.Parity()->Bits(), prEven);
        EXPECT_TRUE(b.Parity()->Check());
        EXPECT_TRUE(b.Parity()->Replace());
        EXPECT_EQ(b.Parity()->ReplaceChar(), '?');
        EXPECT_EQ(b.EventChar(), '\n');
        EXPECT_TRUE(b.DiscardNull());
        EXPECT_EQ(b.Buffer()->InputSize(), 4096);
        EXPECT_EQ(b.Buffer()->OutputSize(), 34000);
        EXPECT_EQ(b.Timeouts()->ReadInterval(), 5);
        EXPECT_EQ(b.Timeouts()->ReadTotalConstant(), 6);
        EXPECT_EQ(b.Timeouts()->ReadTotalMultiplier(), 7);
        EXPECT_EQ(b.Timeouts()->WriteTotalConstant(), 8);
        EXPECT_EQ(b.Timeouts()->WriteTotalMultiplier(), 9);
        EXPECT_EQ(b.FlowControl()->ControlRTS(), rtsToggle);
        EXPECT_EQ(b.FlowControl()->ControlDTR(), dtrHandshake);
        EXPECT_TRUE(b.FlowControl()->DSRSensitivity());
        EXPECT_TRUE(b.FlowControl()->OutCTSFlow());
        EXPECT_TRUE(b.FlowControl()->OutDSRFlow());
        EXPECT_TRUE(b.FlowControl()->TxContinueOnXoff());
        EXPECT_TRUE(b.FlowControl()->XonXoffIn());
        EXPECT_TRUE(b.FlowControl()->XonXoffOut());
        EXPECT_EQ(b.FlowControl()->XonChar(), '\xC8');
        EXPECT_EQ(b.FlowControl()->XoffChar(), 'x');
    }
}

// Absent and empty values: a file's absent value leaves the setting, an empty one is a value;
// the registry has no defaults.
TEST(StoredSettings, AbsentAndEmptyValuesLoadAsTheirMediumSays) {
    {
        std::ofstream(IniPath()) << "[P]\nPort=\nBaudRate=\nFlowControl=Hardware\n"
                                    "FlowControl.ControlRTS=Disable\nCustomBaudRate=1\n";
    }
    TComPort port;
    port.SetName("P");
    port.SetStoredProps({spBasic, spFlowControl});
    port.SetBaudRate(br19200);
    port.SetDataBits(dbSeven);
    port.FlowControl()->SetOutDSRFlow(true);
    port.LoadSettings(stIniFile, IniPath());
    EXPECT_EQ(port.Port(), "");                              // present and empty
    EXPECT_EQ(port.BaudRate(), br9600);                      // empty: the parser's default
    EXPECT_EQ(port.CustomBaudRate(), 9600);                  // not read: the speed is not custom
    EXPECT_EQ(port.DataBits(), dbSeven);                     // absent: unchanged
    EXPECT_TRUE(port.FlowControl()->OutDSRFlow());           // absent: unchanged
    EXPECT_TRUE(port.FlowControl()->OutCTSFlow());           // the summary, applied first
    EXPECT_EQ(port.FlowControl()->ControlRTS(), rtsDisable); // the individual value wins

    // An absent name leaves the current one as it is, blanks at its edges too.
    std::ofstream(IniPath()) << "[P]\nBaudRate=19200\n";
    for (const char* name : {"ttyV0 ", "ttyV0\t", " ttyV0"}) {
        SCOPED_TRACE(std::string("'") + name + "'");
        port.SetPort(name);
        port.LoadSettings(stIniFile, IniPath());
        EXPECT_EQ(port.Port(), name);
    }

    // An empty registry key: text reads as empty, so every text setting takes its empty meaning.
    TRegistry reg;
    OpenSettingsKey(&reg, KeyText(), "Q");
    TComPort q;
    q.SetName("Q");
    q.FlowControl()->SetControlRTS(rtsEnable);
    q.SetDataBits(dbSeven);
    q.LoadSettings(stRegistry, KeyText());
    EXPECT_EQ(q.Port(), "");
    EXPECT_EQ(q.DataBits(), dbEight);
    EXPECT_EQ(q.FlowControl()->GetFlowControl(), fcCustom); // "" is no summary: unchanged flags
    EXPECT_EQ(q.FlowControl()->ControlRTS(), rtsEnable);
}

TEST(StoredSettings, TheKeyTextChoosesRootAndPath) {
    struct Case {
        std::string text;
        HKEY root;
        const char* path; // nullptr: no key open
    } cases[] = {
        {"HKEY_LOCAL_MACHINE\\Software\\Lab", HKEY_LOCAL_MACHINE, "Software\\Lab\\ComPort1"},
        {"hkey_current_user\\Software\\Lab\\", HKEY_CURRENT_USER, "Software\\Lab\\ComPort1"},
        {"Software\\Lab", HKEY_CURRENT_USER, "Lab\\ComPort1"},
        {"HKEY_USERS\\Lab", HKEY_CURRENT_USER, "Lab\\ComPort1"},
        {"NoBackslash", HKEY_CURRENT_USER, nullptr},
    };
    for (const Case& c : cases) {
        TRegistry reg;
        OpenSettingsKey(&reg, c.text, "ComPort1");
        EXPECT_EQ(reg.RootKey(), c.root) << c.text;
        if (c.path == nullptr) {
            EXPECT_EQ(reg.CurrentKey(), nullptr) << c.text;
        } else {
            EXPECT_NE(reg.CurrentKey(), nullptr) << c.text;
            EXPECT_EQ(reg.CurrentPath(), c.path) << c.text;
        }
    }
    TRegistry reg;
    EXPECT_THROW(OpenSettingsKey(&reg, "HKEY_CURRENT_USER\\", "ComPort1"), Exception);
}

TEST(StoredSettings, EveryFailureHasItsOwnMessageAndNoSystemCode) {
    const std::string blocker = configHome.dir + "/blocker";
    { std::ofstream(blocker) << "a file, not a folder"; }
    auto storeTo = [](TStoreType type, const std::string& where, TStoredProps props = {spBasic}) {
        return [=] {
            TComPort port;
            port.SetName("F");
            port.SetStoredProps(props);
            port.StoreSettings(type, where);
        };
    };
    auto loadFrom = [](TStoreType type, const std::string& where, TStoredProps props = {spBasic}) {
        return [=] {
            TComPort port;
            port.SetName("F");
            port.SetStoredProps(props);
            port.LoadSettings(type, where);
        };
    };
    {
        TRegistry reg;
        OpenSettingsKey(&reg, KeyText(), "F");
        reg.WriteString("Port", "COM2");
        reg.WriteString("Buffer.OutputSize", "not a number");
        reg.WriteInteger("Timeouts.ReadInterval", 1);
    }
    {
        TRegistry reg;
        OpenSettingsKey(&reg, KeyText() + "Text", "F");
        reg.WriteInteger("Port", 3);
    }
    struct Case {
        const char* what;
        std::function<void()> run;
        std::int32_t code;
    } cases[] = {
        {"file not writable", storeTo(stIniFile, blocker + "/x.ini"), CError_StoreFailed},
        {"key text without backslash", storeTo(stRegistry, "NoBackslash"), CError_StoreFailed},
        {"nothing after the backslash", storeTo(stRegistry, "HKEY_CURRENT_USER\\"),
         CError_StoreFailed},
        {"load: nothing after the backslash", loadFrom(stRegistry, "HKEY_CURRENT_USER\\"),
         CError_LoadFailed},
        {"load without backslash, basic", loadFrom(stRegistry, "NoBackslash"), CError_LoadFailed},
        {"load from a key that is not there", loadFrom(stRegistry, KeyText() + "Typo"),
         CError_LoadFailed},
        {"load without backslash, an integer", loadFrom(stRegistry, "NoBackslash", {spTimeouts}),
         CError_LoadFailed},
        {"integer of another type", loadFrom(stRegistry, KeyText(), {spBasic, spBuffer}),
         CError_LoadFailed},
        {"integer absent", loadFrom(stRegistry, KeyText(), {spTimeouts}), CError_LoadFailed},
        {"text of another type", loadFrom(stRegistry, KeyText() + "Text"), CError_LoadFailed},
        {"a missing file loads nothing",
         loadFrom(stIniFile, blocker + "/x.ini", TStoredProps::All()), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ErrorOf(c.run), c.code) << c.what;
    EXPECT_EQ(ComErrorText(CError_StoreFailed), "Failed to store settings");
    EXPECT_EQ(ComErrorText(CError_LoadFailed), "Failed to load settings");
    // Nothing was written for the key texts that name no key, nor by the loads.
    EXPECT_FALSE(TRegistry().KeyExists("F"));
    EXPECT_FALSE(TRegistry().KeyExists("Software\\StorageTest\\" + TestName() + "Typo"));
    // A load that fails to find its key leaves the port as it was.
    TComPort port;
    port.SetName("F");
    port.SetPort("COM5");
    port.SetBaudRate(br19200);
    EXPECT_EQ(ErrorOf([&] { port.LoadSettings(stRegistry, KeyText() + "Typo"); }),
              CError_LoadFailed);
    EXPECT_EQ(port.Port(), "COM5");
    EXPECT_EQ(port.BaudRate(), br19200);
}

TEST(StoredSettings, AFailedLoadKeepsWhatItLoadedBeforeTheFailure) {
    {
        TRegistry reg;
        OpenSettingsKey(&reg, KeyText(), "F");
        reg.WriteString("Port", "COM7");
        reg.WriteString("BaudRate", "115200");
        reg.WriteString("Buffer.OutputSize", "wrong type");
    }
    TComPort port;
    port.SetName("F");
    port.SetStoredProps({spBasic, spBuffer});
    EXPECT_EQ(ErrorOf([&] { port.LoadSettings(stRegistry, KeyText()); }), CError_LoadFailed);
    EXPECT_EQ(port.Port(), "COM7");
    EXPECT_EQ(port.BaudRate(), br115200);
}

// On an open port the whole device configuration is applied once, at the end.
TEST(StoredSettings, ALoadOnAnOpenPortAppliesOnce) {
    LinePort p;
    p.port->SetName("Open");
    p.port->SetStoredProps(TStoredProps::All());
    p.port->Open();
    p.line->TakeChanges();
    {
        std::ofstream(IniPath()) << "[Open]\nBaudRate=19200\nDataBits=7\nParity=Even\n"
                                    "FlowControl=Software\nTimeouts.ReadInterval=50\n"
                                    "Buffer.InputSize=2048\nFlowControl.XonChar=#1\n"
                                    "EventChar=Z\n";
    }
    p.port->LoadSettings(stIniFile, IniPath());
    int configs = 0;
    for (const LineChange& c : p.line->TakeChanges())
        configs += c.signal == LineSignal::Config ? 1 : 0;
    EXPECT_EQ(configs, 1);
    const DCB dcb = p.line->Settings();
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.XonChar, 1);
    EXPECT_EQ(dcb.EvtChar, 'Z');
    EXPECT_TRUE(p.port->Connected());
}

TEST(StoredSettings, ALoadTheDeviceRefusesOrAPortThatWillNotOpenFails) {
    LinePort p;
    p.port->SetName("Open");
    p.port->Open();
    { std::ofstream(IniPath()) << "[Open]\nDataBits=5\nStopBits=2\n"; }
    EXPECT_EQ(ErrorOf([&] { p.port->LoadSettings(stIniFile, IniPath()); }), CError_LoadFailed);
    EXPECT_EQ(p.port->DataBits(), dbFive); // loaded, though the device refused them
    EXPECT_EQ(p.port->StopBits(), sbTwoStopBits);

    { std::ofstream(IniPath()) << "[Open]\nPort=ZVNOSUCHPORT\nDataBits=8\nStopBits=1\n"; }
    EXPECT_EQ(ErrorOf([&] { p.port->LoadSettings(stIniFile, IniPath()); }), CError_LoadFailed);
    EXPECT_FALSE(p.port->Connected());
    EXPECT_EQ(p.port->Port(), "ZVNOSUCHPORT");
}

} // namespace
} // namespace zv
