#include "PortProbe.h"
#include "cport/ComPort.h"
#include "toolkit/Exception.h"

#include <gtest/gtest.h>

#include <functional>

namespace zv {
namespace {

using test::ApplyCounts;
using test::PortProbe;

const ApplyCounts OneDCB{1, 0, 0, 0, 0, 0};

TEST(ComPortSettings, Defaults) {
    TComPort port;
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_FALSE(port.DiscardNull());
    EXPECT_EQ(port.EventChar(), 0);
    EXPECT_EQ(port.Events(), AllComEvents);
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    EXPECT_TRUE(port.TriggersOnRxChar());
    EXPECT_EQ(port.StoredProps(), TStoredProps{spBasic});
    // The four option objects exist, hold their defaults and are bound to this port.
    ASSERT_NE(port.Parity(), nullptr);
    ASSERT_NE(port.Buffer(), nullptr);
    ASSERT_NE(port.FlowControl(), nullptr);
    ASSERT_NE(port.Timeouts(), nullptr);
    EXPECT_EQ(port.Parity()->ComPort(), &port);
    EXPECT_EQ(port.Buffer()->ComPort(), &port);
    EXPECT_EQ(port.FlowControl()->ComPort(), &port);
    EXPECT_EQ(port.Timeouts()->ComPort(), &port);
    EXPECT_EQ(port.Buffer()->InputSize(), 1024);
    EXPECT_EQ(port.FlowControl()->GetFlowControl(), fcNone);
}

// The port's own settings that apply the device control record when they change.
struct DcbSetterRow {
    const char* name;
    std::function<void(PortProbe&)> setDefault;
    std::function<void(PortProbe&)> setChanged;
    std::function<bool(const PortProbe&)> isChanged;
};

const DcbSetterRow DcbSetters[] = {
    {"BaudRate", [](PortProbe& p) { p.SetBaudRate(br9600); },
     [](PortProbe& p) { p.SetBaudRate(br115200); },
     [](const PortProbe& p) { return p.BaudRate() == br115200; }},
    {"CustomBaudRate", [](PortProbe& p) { p.SetCustomBaudRate(9600); },
     [](PortProbe& p) { p.SetCustomBaudRate(250000); },
     [](const PortProbe& p) { return p.CustomBaudRate() == 250000; }},
    {"StopBits", [](PortProbe& p) { p.SetStopBits(sbOneStopBit); },
     [](PortProbe& p) { p.SetStopBits(sbTwoStopBits); },
     [](const PortProbe& p) { return p.StopBits() == sbTwoStopBits; }},
    {"DataBits", [](PortProbe& p) { p.SetDataBits(dbEight); },
     [](PortProbe& p) { p.SetDataBits(dbSeven); },
     [](const PortProbe& p) { return p.DataBits() == dbSeven; }},
    {"DiscardNull", [](PortProbe& p) { p.SetDiscardNull(false); },
     [](PortProbe& p) { p.SetDiscardNull(true); },
     [](const PortProbe& p) { return p.DiscardNull(); }},
    {"EventChar", [](PortProbe& p) { p.SetEventChar(0); },
     [](PortProbe& p) { p.SetEventChar('\r'); },
     [](const PortProbe& p) { return p.EventChar() == '\r'; }},
};

TEST(ComPortSettings, DcbSettersIgnoreEqualValuesAndApplyOnceOnChange) {
    for (const auto& row : DcbSetters) {
        SCOPED_TRACE(row.name);
        PortProbe port;
        row.setDefault(port);
        EXPECT_EQ(port.counts, ApplyCounts{});
        row.setChanged(port);
        EXPECT_TRUE(row.isChanged(port));
        EXPECT_EQ(port.counts, OneDCB);
        row.setChanged(port);
        EXPECT_EQ(port.counts, OneDCB);
    }
}

TEST(ComPortSettings, AChangeReachesTheDeviceOnlyWhileOpen) {
    PortProbe port;
    port.SetBaudRate(br19200);
    EXPECT_EQ(port.counts.dcb, 1);
    EXPECT_EQ(port.counts.dcbApplied, 0); // closed: recorded for the next open
    port.SetConnectedForTest(true);
    port.SetBaudRate(br38400);
    EXPECT_EQ(port.counts.dcbApplied, 1);
}

TEST(ComPortSettings, StoredOnlySettingsApplyNothing) {
    PortProbe port;
    port.SetConnectedForTest(true);
    port.SetEvents(TComEvents{evRxChar});
    EXPECT_EQ(port.Events(), TComEvents{evRxChar});
    port.SetEvents(TComEvents{});
    EXPECT_TRUE(port.Events().empty());
    port.SetStoredProps(TStoredProps{spBasic, spTimeouts});
    EXPECT_EQ(port.StoredProps(), (TStoredProps{spBasic, spTimeouts}));
    // Port is stored only on a closed port (an open one moves to the new device).
    port.SetConnectedForTest(false);
    port.SetPort("COM2");
    EXPECT_EQ(port.Port(), "COM2");
    EXPECT_EQ(port.counts, ApplyCounts{});
}

TEST(ComPortSettings, OptionObjectSettersCopyThenApplyEvenWhenUnchanged) {
    PortProbe port;
    TComParity parity;
    parity.SetBits(prEven);
    port.SetParity(&parity);
    EXPECT_EQ(port.Parity()->Bits(), prEven);
    EXPECT_NE(port.Parity(), &parity); // copied, not adopted
    EXPECT_EQ(port.counts, OneDCB);
    port.SetParity(&parity); // same values: applies again
    EXPECT_EQ(port.counts.dcb, 2);

    port.counts = {};
    TComFlowControl flow;
    flow.SetFlowControl(fcHardware);
    port.SetFlowControl(&flow);
    EXPECT_EQ(port.FlowControl()->GetFlowControl(), fcHardware);
    EXPECT_EQ(port.counts, OneDCB);

    port.counts = {};
    TComTimeouts timeouts;
    timeouts.SetWriteTotalConstant(5000);
    port.SetTimeouts(&timeouts);
    EXPECT_EQ(port.Timeouts()->WriteTotalConstant(), 5000);
    EXPECT_EQ(port.counts, (ApplyCounts{0, 1, 0, 0, 0, 0}));

    port.counts = {};
    TComBuffer buffer;
    buffer.SetOutputSize(34000);
    port.SetBuffer(&buffer);
    EXPECT_EQ(port.Buffer()->OutputSize(), 34000);
    EXPECT_EQ(port.counts, (ApplyCounts{0, 0, 1, 0, 0, 0}));

    // Its own object given back: a copy onto itself, then one apply.
    port.counts = {};
    port.SetBuffer(port.Buffer());
    EXPECT_EQ(port.Buffer()->OutputSize(), 34000);
    EXPECT_EQ(port.counts.buffer, 1);
}

TEST(ComPortSettings, OptionObjectSetterWithNothingToCopyFailsAndAppliesNothing) {
    PortProbe port;
    EXPECT_THROW(port.SetParity(nullptr), EConvertError);
    EXPECT_THROW(port.SetTimeouts(nullptr), EConvertError);
    EXPECT_EQ(port.counts, ApplyCounts{});
}

TEST(ComPortSettings, SyncMethodIsRefusedWhileConnected) {
    PortProbe port;
    port.SetSyncMethod(smWindowSync); // closed: stored
    EXPECT_EQ(port.SyncMethod(), smWindowSync);

    port.SetConnectedForTest(true);
    port.SetSyncMethod(smWindowSync); // the same value: silently accepted
    try {
        port.SetSyncMethod(smNone);
        FAIL() << "no refusal";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CError_SetWhileConnected);
        EXPECT_EQ(e.OsErrorCode(), -1);
        EXPECT_EQ(e.Message(), "Cannot set property while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smWindowSync);
    EXPECT_EQ(port.counts, ApplyCounts{});
}

TEST(ComPortSettings, TriggersOnRxCharIsRefusedWhileADataLinkIsRegistered) {
    PortProbe port;
    port.SetTriggersOnRxChar(false);
    EXPECT_FALSE(port.TriggersOnRxChar());
    port.SetTriggersOnRxChar(true);

    port.SetRxBufLinkedForTest(true);
    EXPECT_FALSE(port.TriggersOnRxChar()); // reads false while linked; the stored value stays
    for (bool value : {false, true}) {
        try {
            port.SetTriggersOnRxChar(value);
            FAIL() << "no refusal";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), CError_RxBufLinked);
            EXPECT_EQ(e.Message(), "A component is linked to OnRxBuf event");
        }
    }
    port.SetRxBufLinkedForTest(false);
    EXPECT_TRUE(port.TriggersOnRxChar());
}

TEST(ComPortSettings, UpdateBracketDefersApplyingToTheFinalEndUpdate) {
    PortProbe port;
    port.SetConnectedForTest(true);
    port.BeginUpdate();
    port.SetBaudRate(br57600);
    port.Timeouts()->SetReadInterval(20);
    port.Buffer()->SetInputSize(4096);
    port.BeginUpdate();
    port.SetDataBits(dbSeven);
    port.EndUpdate(); // nested: applies nothing
    EXPECT_EQ(port.counts.dcbApplied + port.counts.timeoutsApplied + port.counts.bufferApplied, 0);
    EXPECT_EQ(port.UpdateCount(), 1);

    port.counts = {};
    port.EndUpdate(); // one SetupComPort: buffer, control record, time-outs once each
    EXPECT_EQ(port.counts, (ApplyCounts{1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(port.UpdateCount(), 0);
    EXPECT_EQ(port.BaudRate(), br57600);
    EXPECT_EQ(port.DataBits(), dbSeven);
}

TEST(ComPortSettings, UnmatchedEndUpdateDoesNothing) {
    PortProbe port;
    port.SetConnectedForTest(true);
    port.EndUpdate();
    EXPECT_EQ(port.UpdateCount(), 0);
    EXPECT_EQ(port.counts, ApplyCounts{});
    port.BeginUpdate();
    port.EndUpdate();
    port.EndUpdate();
    EXPECT_EQ(port.UpdateCount(), 0);
    EXPECT_EQ(port.counts.total(), 3); // the one matched EndUpdate's SetupComPort
}

TEST(ComPortSettings, ClosedPortEndUpdateReachesNothing) {
    PortProbe port;
    port.BeginUpdate();
    port.SetBaudRate(br1200);
    port.EndUpdate();
    EXPECT_EQ(port.counts.dcbApplied + port.counts.timeoutsApplied + port.counts.bufferApplied, 0);
}

} // namespace
} // namespace zv
