// Opening, configuring and closing a port on virtual lines: the callback order, the settings as
// the device sees them, update brackets, refused settings and the errors of failing calls.
#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv {
namespace {

using namespace test;
using Log = std::vector<std::string>;

// Exposes what the tests must see of the port's state.
class PortView : public TComPort {
public:
    using TComPort::TComPort;
    HWND Window() const { return FWindow; }
    int SetupCalls = 0;
    void SetupComPort() override {
        ++SetupCalls;
        TComPort::SetupComPort();
    }
};

int ConfigChanges(VirtualLine& line) {
    int n = 0;
    for (const LineChange& c : line.TakeChanges())
        n += c.signal == LineSignal::Config ? 1 : 0;
    return n;
}

TEST(ComPortLifecycle, ShowSetupDialogRunsTheInstalledDialogOnThePort) {
    TComPort port;
    EXPECT_THROW(port.ShowSetupDialog(), Exception); // no widget layer in this program
    static TCustomComPort* shownFor = nullptr;
    static bool confirmed = false;
    TCustomComPort::SetSetupDialog([](TCustomComPort* p) {
        shownFor = p;
        return confirmed;
    });
    EXPECT_FALSE(port.ShowSetupDialog());
    confirmed = true;
    EXPECT_TRUE(port.ShowSetupDialog()) << "the dialog's answer reaches the caller";
    TCustomComPort::SetSetupDialog(nullptr);
    EXPECT_EQ(shownFor, &port);
}

TEST(ComPortLifecycle, OpenAndCloseAnnounceInOrderWithLinksFirst) {
    LinePort p;
    EventLog log;
    RecordPortCallbacks(*p.port, log);
    TComLink link;
    RecordLink(link, log, "L");
    p.port->RegisterLink(&link);

    p.port->Open();
    EXPECT_TRUE(p.port->Connected());
    EXPECT_TRUE(p.port->ThreadCreated());
    EXPECT_NE(p.port->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(p.line->IsOpen());
    EXPECT_EQ(log.Take(),
              (Log{"OnBeforeOpen", "L.Conn(1)", "OnAfterOpen", "L.CTS(0)", "OnCTSChange(0)",
                   "L.DSR(0)", "OnDSRChange(0)", "L.RLSD(0)", "OnRLSDChange(0)"}));

    p.port->Open(); // already open: nothing
    EXPECT_TRUE(log.Take().empty());

    p.port->Close();
    EXPECT_FALSE(p.port->Connected());
    EXPECT_FALSE(p.port->ThreadCreated());
    EXPECT_EQ(p.port->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(p.line->IsOpen());
    EXPECT_EQ(log.Take(),
              (Log{"L.CTS(0)", "L.DSR(0)", "L.RLSD(0)", "OnCTSChange(0)", "OnDSRChange(0)",
                   "OnRLSDChange(0)", "OnBeforeClose", "L.Conn(0)", "OnAfterClose"}));

    p.port->Close(); // already closed: nothing
    EXPECT_TRUE(log.Take().empty());
    p.port->UnRegisterLink(&link);
}

TEST(ComPortLifecycle, OpenReportsTheLinesAsTheFarEndHoldsThem) {
    LinePort p;
    p.line->SetFarDtr(true); // DSR and DCD on
    EventLog log;
    RecordPortCallbacks(*p.port, log);
    p.port->Open();
    EXPECT_EQ(log.Take(), (Log{"OnBeforeOpen", "OnAfterOpen", "OnCTSChange(0)", "OnDSRChange(1)",
                               "OnRLSDChange(1)"}));
}

TEST(ComPortLifecycle, ThreadAndWindowExistOnlyWhenTheModeNeedsThem) {
    struct Case {
        TSyncMethod sync;
        TComEvents events;
        bool thread;
        bool window;
    };
    const Case cases[] = {
        {smThreadSync, AllComEvents, true, false},  {smWindowSync, AllComEvents, true, true},
        {smNone, AllComEvents, true, false},        {smWindowSync, TComEvents{}, false, false},
        {smThreadSync, TComEvents{}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.sync));
        auto line = NewLine();
        PortView port;
        port.SetPort(line->Name());
        port.SetSyncMethod(c.sync);
        port.SetEvents(c.events);
        port.Open();
        EXPECT_EQ(port.ThreadCreated(), c.thread);
        EXPECT_EQ(port.Window() != nullptr, c.window);
        port.Close();
        EXPECT_EQ(port.Window(), nullptr);
    }
}

TEST(ComPortLifecycle, ANewPortNameMovesAnOpenPortWithAllNotifications) {
    LinePort p;
    auto other = NewLine();
    EventLog log;
    p.port->Open();
    p.port->OnAfterOpen = [&log](TObject*) { log.Add("OnAfterOpen"); };
    p.port->OnAfterClose = [&log](TObject*) { log.Add("OnAfterClose"); };
    p.port->OnBeforeOpen = [&log](TObject*) { log.Add("OnBeforeOpen"); };
    p.port->OnBeforeClose = [&log](TObject*) { log.Add("OnBeforeClose"); };

    p.port->SetPort(p.line->Name()); // same name: nothing
    EXPECT_TRUE(log.Take().empty());

    p.port->SetPort(other->Name());
    EXPECT_EQ(log.Take(), (Log{"OnBeforeClose", "OnAfterClose", "OnBeforeOpen", "OnAfterOpen"}));
    EXPECT_FALSE(p.line->IsOpen());
    EXPECT_TRUE(other->IsOpen());

    // Inside an update bracket the new device is announced with the port's settings already
    // in force, and what OnAfterOpen sets on its lines stays.
    auto third = NewLine();
    p.port->FlowControl()->SetControlRTS(rtsDisable);
    p.port->FlowControl()->SetControlDTR(dtrDisable);
    std::uint32_t speedAnnounced = 0;
    p.port->OnAfterOpen = [&](TObject*) {
        speedAnnounced = third->Settings().BaudRate;
        p.port->SetRTS(true);
        p.port->SetDTR(false);
    };
    p.port->BeginUpdate();
    p.port->SetBaudRate(br57600);
    p.port->SetPort(third->Name());
    p.port->EndUpdate();
    EXPECT_EQ(speedAnnounced, 57600u);
    EXPECT_TRUE(third->Rts());
    EXPECT_FALSE(third->Dtr());
    p.port->Close();
}

TEST(ComPortLifecycle, TheDeviceGetsTheControlBlockFieldByField) {
    LinePort p;
    p.port->Open();
    DCB dcb = p.line->Settings();
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.XonLim, 256); // InputSize 1024 / 4
    EXPECT_EQ(dcb.XoffLim, 256);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.XonChar, 17);
    EXPECT_EQ(dcb.XoffChar, 19);

    // Each setter reaches the open device at once.
    p.port->SetCustomBaudRate(250000); // ignored while BaudRate is not brCustom
    EXPECT_EQ(p.line->Settings().BaudRate, 9600u);
    p.port->SetBaudRate(brCustom);
    EXPECT_EQ(p.line->Settings().BaudRate, 250000u);
    p.port->SetBaudRate(br115200);
    p.port->SetDataBits(dbSeven);
    p.port->SetStopBits(sbTwoStopBits);
    p.port->Parity()->SetBits(prEven);
    p.port->Parity()->SetCheck(true);
    p.port->Parity()->SetReplace(true);
    p.port->Parity()->SetReplaceChar('?');
    p.port->FlowControl()->SetFlowControl(fcHardware);
    p.port->FlowControl()->SetControlDTR(dtrEnable);
    p.port->SetDiscardNull(true);
    p.port->SetEventChar('\r');
    dcb = p.line->Settings();
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fErrorChar, 1u);
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fNull, 1u);
    EXPECT_EQ(dcb.EvtChar, '\r');

    // The replacement character goes over only while parity is checked.
    p.port->Parity()->SetCheck(false);
    dcb = p.line->Settings();
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.ErrorChar, 0);
    p.port->Close();
}

TEST(ComPortLifecycle, AClosedPortRecordsChangesAndTheNextOpenAppliesThem) {
    LinePort p;
    p.port->SetBaudRate(br19200);
    EXPECT_FALSE(p.line->IsOpen());
    p.port->Open();
    EXPECT_EQ(p.line->Settings().BaudRate, 19200u);
}

TEST(ComPortLifecycle, AnUpdateBracketAppliesOnceAtTheFinalEndUpdate) {
    auto line = NewLine();
    PortView port;
    port.SetPort(line->Name());
    port.Open();
    EXPECT_EQ(port.SetupCalls, 1);
    ConfigChanges(*line);

    port.BeginUpdate();
    port.SetBaudRate(br57600);
    port.SetDataBits(dbSeven);
    port.Parity()->SetBits(prOdd);
    port.BeginUpdate(); // nested: its EndUpdate applies nothing
    port.SetStopBits(sbTwoStopBits);
    port.EndUpdate();
    EXPECT_EQ(ConfigChanges(*line), 0);
    EXPECT_EQ(port.SetupCalls, 1);
    EXPECT_EQ(line->Settings().BaudRate, 9600u);
    port.EndUpdate();
    EXPECT_EQ(port.SetupCalls, 2);
    EXPECT_EQ(ConfigChanges(*line), 1);
    const DCB dcb = line->Settings();
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);

    port.EndUpdate(); // unmatched: nothing
    EXPECT_EQ(port.SetupCalls, 2);
    port.Close();
}

TEST(ComPortLifecycle, SettingsTheDeviceRefusesFailTheOpenAndCloseItAgain) {
    struct Case {
        const char* name;
        std::function<void(TComPort&)> spoil;
        std::int32_t code;
    };
    const Case cases[] = {
        {"buffer", [](TComPort& p) { p.Buffer()->SetInputSize(0x7FFFFFF0); },
         CError_SetupCommFailed},
        {"dcb",
         [](TComPort& p) {
             p.SetDataBits(dbFive);
             p.SetStopBits(sbTwoStopBits);
         },
         CError_SetStateFailed},
        {"timeouts",
         [](TComPort& p) {
             p.Timeouts()->SetReadTotalMultiplier(-1);
             p.Timeouts()->SetReadTotalConstant(-1);
         },
         CError_TimeoutsFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinePort p;
        EventLog log;
        RecordPortCallbacks(*p.port, log);
        c.spoil(*p.port);
        try {
            p.port->Open();
            ADD_FAILURE() << "Open succeeded";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(e.OsErrorCode(), ERROR_INVALID_PARAMETER);
        }
        EXPECT_FALSE(p.port->Connected());
        EXPECT_FALSE(p.port->ThreadCreated());
        EXPECT_FALSE(p.line->IsOpen());
        EXPECT_EQ(log.Take(), Log{"OnBeforeOpen"});
    }
}

TEST(ComPortLifecycle, ASettingRefusedWhileOpenStaysStoredAndThePortStaysOpen) {
    LinePort p;
    p.port->Open();
    p.port->SetDataBits(dbFive);
    try {
        p.port->SetStopBits(sbTwoStopBits);
        ADD_FAILURE() << "the device took 5 data bits with 2 stop bits";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CError_SetStateFailed);
    }
    EXPECT_EQ(p.port->StopBits(), sbTwoStopBits);
    EXPECT_TRUE(p.port->Connected());
    EXPECT_EQ(p.line->Settings().StopBits, ONESTOPBIT);
}

TEST(ComPortLifecycle, OpeningAMissingPortNamesTheSystemError) {
    TComPort port;
    EventLog log;
    RecordPortCallbacks(port, log);
    port.SetPort("ZVNOSUCHPORT");
    try {
        port.Open();
        ADD_FAILURE() << "opened a port that does not exist";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CError_OpenFailed);
        EXPECT_EQ(e.OsErrorCode(), ERROR_FILE_NOT_FOUND);
        EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(log.Take(), Log{"OnBeforeOpen"});
}

TEST(ComPortLifecycle, ThreadSettingsAreRefusedWhileOpen) {
    LinePort p;
    p.port->Open();
    p.port->SetSyncMethod(smThreadSync); // unchanged: fine
    p.port->SetEventThreadPriority(tpNormal);
    for (auto set : {std::function<void()>([&] { p.port->SetSyncMethod(smNone); }),
                     std::function<void()>([&] { p.port->SetEventThreadPriority(tpHigher); })}) {
        try {
            set();
            ADD_FAILURE() << "accepted while open";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), CError_SetWhileConnected);
            EXPECT_EQ(e.OsErrorCode(), NoOsError);
        }
    }
    EXPECT_EQ(p.port->SyncMethod(), smThreadSync);
    EXPECT_EQ(p.port->EventThreadPriority(), tpNormal);
    p.port->Close();
    p.port->SetEventThreadPriority(tpHigher);
    p.port->Open(); // a priority the process may not have never fails the open
    EXPECT_TRUE(p.port->ThreadCreated());
}

TEST(ComPortLifecycle, LoadedOpensAStoredConnectedAndReportsAFailure) {
    auto line = NewLine();
    TComPort port;
    port.BeginLoading();
    port.SetPort(line->Name());
    port.SetConnected(true); // only recorded while loading
    EXPECT_FALSE(line->IsOpen());
    port.Loaded();
    EXPECT_TRUE(port.Connected());
    EXPECT_TRUE(line->IsOpen());
    port.SetConnected(false);
    EXPECT_FALSE(line->IsOpen());

    std::vector<std::string> reported;
    auto previous = SetApplicationExceptionHandler(
        [&](const std::exception& e) { reported.emplace_back(e.what()); });
    TComPort broken;
    broken.BeginLoading();
    broken.SetPort("ZVNOSUCHPORT");
    broken.SetConnected(true);
    broken.Loaded();
    SetApplicationExceptionHandler(previous);
    EXPECT_FALSE(broken.Connected());
    EXPECT_EQ(reported, Log{"Unable to open com port (win error code: 2)"});
}

// A direct Open while the port is being loaded: a stored Connected is a wish that Loaded
// fulfils, and a device opened by Open is not opened again by Loaded. Either way the device is
// opened once, and the settings loading held back reach it when loading ends.
TEST(ComPortLifecycle, AnOpenDuringLoadingOpensTheDeviceOnce) {
    struct Case {
        const char* name;
        bool storeConnected;
        bool openedDuringLoading;
    };
    const Case cases[] = {
        {"Connected stored", true, false},
        {"nothing stored", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto line = NewLine();
        std::vector<std::string> reported;
        auto previous = SetApplicationExceptionHandler(
            [&](const std::exception& e) { reported.emplace_back(e.what()); });
        EventLog log;
        {
            TComPort port;
            port.OnBeforeOpen = [&log](TObject*) { log.Add("OnBeforeOpen"); };
            port.OnAfterOpen = [&log](TObject*) { log.Add("OnAfterOpen"); };
            port.BeginLoading();
            port.SetPort(line->Name());
            port.SetBaudRate(br19200);
            if (c.storeConnected)
                port.SetConnected(true);
            port.Open();
            EXPECT_EQ(line->IsOpen(), c.openedDuringLoading);
            port.Loaded();
            EXPECT_TRUE(port.Connected());
            EXPECT_TRUE(port.ThreadCreated());
            EXPECT_TRUE(line->IsOpen());
            EXPECT_EQ(line->Settings().BaudRate, 19200u);
            port.Close();
            EXPECT_FALSE(line->IsOpen());
        }
        SetApplicationExceptionHandler(previous);
        EXPECT_EQ(reported, Log{});
        EXPECT_EQ(log.Take(), (Log{"OnBeforeOpen", "OnAfterOpen"}));
    }
}

// A device a direct Open opened while loading is really open: Connected set false (still while
// loading) closes it, as it would outside loading, and Loaded leaves it closed.
TEST(ComPortLifecycle, ConnectedSetFalseWhileLoadingClosesADeviceOpenedMeanwhile) {
    auto line = NewLine();
    EventLog log;
    {
        TComPort port;
        port.OnBeforeOpen = [&log](TObject*) { log.Add("OnBeforeOpen"); };
        port.OnAfterOpen = [&log](TObject*) { log.Add("OnAfterOpen"); };
        port.OnBeforeClose = [&log](TObject*) { log.Add("OnBeforeClose"); };
        port.OnAfterClose = [&log](TObject*) { log.Add("OnAfterClose"); };
        port.BeginLoading();
        port.SetPort(line->Name());
        port.Open();
        ASSERT_TRUE(line->IsOpen());
        port.SetConnected(false);
        EXPECT_FALSE(port.Connected());
        EXPECT_FALSE(port.ThreadCreated());
        EXPECT_FALSE(line->IsOpen());
        port.Loaded();
        EXPECT_FALSE(port.Connected());
        EXPECT_FALSE(line->IsOpen());
    }
    EXPECT_FALSE(line->IsOpen()) << "the device outlived its port";
    EXPECT_EQ(log.Take(), (Log{"OnBeforeOpen", "OnAfterOpen", "OnBeforeClose", "OnAfterClose"}));
}

TEST(ComPortLifecycle, DesigningRecordsButNeverOpens) {
    auto line = NewLine();
    TComPort port;
    port.SetPort(line->Name());
    port.SetDesigning(true);
    port.SetConnected(true);
    port.Open();
    EXPECT_FALSE(line->IsOpen());
    EXPECT_TRUE(port.Connected()); // the recorded wish
    port.SetDesigning(false);
    port.SetConnected(false);
}

TEST(ComPortLifecycle, TheOwnerClosesThePortItDestroys) {
    auto line = NewLine();
    EventLog log;
    {
        TComponent form(nullptr);
        auto* port = new TComPort(&form);
        port->SetPort(line->Name());
        port->OnAfterClose = [&log](TObject*) { log.Add("OnAfterClose"); };
        port->Open();
        EXPECT_TRUE(line->IsOpen());
    }
    EXPECT_FALSE(line->IsOpen());
    EXPECT_EQ(log.Take(), Log{"OnAfterClose"});
}

// A port destroyed while its close fails still closes its device; the failure goes to the
// application's handler, even one that raises in turn (a destructor must not let it out).
TEST(ComPortLifecycle, ADestroyedPortClosesItsDeviceWhenItsCloseFails) {
    for (const bool handlerRaises : {false, true}) {
        SCOPED_TRACE(handlerRaises ? "the handler raises" : "the handler returns");
        auto line = NewLine();
        std::vector<std::string> seen;
        auto previous = SetApplicationExceptionHandler([&](const std::exception& e) {
            seen.emplace_back(e.what());
            if (handlerRaises)
                throw std::runtime_error("the handler failed too");
        });
        {
            TComPort port;
            port.SetPort(line->Name());
            port.OnBeforeClose = [](TObject*) { throw std::runtime_error("OnBeforeClose failed"); };
            port.Open();
        }
        SetApplicationExceptionHandler(previous);
        EXPECT_FALSE(line->IsOpen());
        EXPECT_EQ(seen, std::vector<std::string>{"OnBeforeClose failed"});
    }
}

TEST(ComPortLifecycle, CallsOnAClosedPortFailWithTheInvalidHandleCode) {
    TComPort port;
    char byte = 0;
    TComEvents events{evRxChar};
    struct Case {
        const char* name;
        std::function<void()> call;
        std::int32_t code;
    };
    const Case cases[] = {
        {"SetDTR", [&] { port.SetDTR(true); }, CError_EscapeCommFailed},
        {"SetRTS", [&] { port.SetRTS(false); }, CError_EscapeCommFailed},
        {"SetBreak", [&] { port.SetBreak(true); }, CError_EscapeCommFailed},
        {"SetXonXoff", [&] { port.SetXonXoff(true); }, CError_EscapeCommFailed},
        {"InputCount", [&] { port.InputCount(); }, CError_ClearCommFailed},
        {"OutputCount", [&] { port.OutputCount(); }, CError_ClearCommFailed},
        {"StateFlags", [&] { port.StateFlags(); }, CError_ClearCommFailed},
        {"LastErrors", [&] { port.LastErrors(); }, CError_ClearCommFailed},
        {"Signals", [&] { port.Signals(); }, CError_ModemStatusFailed},
        {"TransmitChar", [&] { port.TransmitChar('x'); }, CError_TransmitCharFailed},
        {"ClearBuffer", [&] { port.ClearBuffer(true, true); }, CError_PurgeFailed},
        {"AbortAllAsync", [&] { port.AbortAllAsync(); }, CError_PurgeFailed},
        {"Write", [&] { port.Write(&byte, 1); }, CError_WriteFailed},
        {"Read", [&] { port.Read(&byte, 1); }, CError_ReadFailed},
        {"WaitForEvent", [&] { port.WaitForEvent(events, nullptr, 0); }, CError_WaitEventFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.call();
            ADD_FAILURE() << "succeeded on a closed port";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(e.OsErrorCode(), ERROR_INVALID_HANDLE);
            EXPECT_EQ(std::string(e.what()), ComErrorText(c.code) + " (win error code: 6)");
        }
    }
}

} // namespace
} // namespace zv
