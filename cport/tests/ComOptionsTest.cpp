#include "cport/ComOptions.h"
#include "PortProbe.h"
#include "toolkit/Exception.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace zv {
namespace {

using test::ApplyCounts;
using test::PortProbe;

// ---- Defaults
// ------------------------------------------------------------------------------------

TEST(ComOptions, Defaults) {
    const TComTimeouts t;
    EXPECT_EQ(t.ReadInterval(), -1);
    EXPECT_EQ(t.ReadTotalMultiplier(), 0);
    EXPECT_EQ(t.ReadTotalConstant(), 0);
    EXPECT_EQ(t.WriteTotalMultiplier(), 100);
    EXPECT_EQ(t.WriteTotalConstant(), 1000);
    EXPECT_EQ(t.ComPort(), nullptr);

    const TComFlowControl f;
    EXPECT_EQ(f.GetFlowControl(), fcNone);
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_FALSE(f.OutDSRFlow());
    EXPECT_EQ(f.ControlDTR(), dtrDisable);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.XonXoffOut());
    EXPECT_FALSE(f.XonXoffIn());
    EXPECT_FALSE(f.DSRSensitivity());
    EXPECT_FALSE(f.TxContinueOnXoff());
    EXPECT_EQ(f.XonChar(), 17);
    EXPECT_EQ(f.XoffChar(), 19);

    const TComParity p;
    EXPECT_EQ(p.Bits(), prNone);
    EXPECT_FALSE(p.Check());
    EXPECT_FALSE(p.Replace());
    EXPECT_EQ(p.ReplaceChar(), 0);

    const TComBuffer b;
    EXPECT_EQ(b.InputSize(), 1024);
    EXPECT_EQ(b.OutputSize(), 1024);
}

// ---- Setters through the port ------------------------------------------------------------------

// One setter of an option object: how to set it to a value different from its default, how to
// read the value back as text, and which apply operation it calls.
struct SetterRow {
    const char* name;
    std::function<void(PortProbe&)> setChanged;
    std::function<void(PortProbe&)> setDefault;
    std::function<std::string(const PortProbe&)> read;
    std::string changedText;
    ApplyCounts expectedOnChange;
};

std::string Str(long long v) {
    return std::to_string(v);
}

const ApplyCounts OneDCB{1, 0, 0, 0, 0, 0};
const ApplyCounts OneTimeouts{0, 1, 0, 0, 0, 0};
const ApplyCounts OneBuffer{0, 0, 1, 0, 0, 0};

std::vector<SetterRow> OptionSetters() {
    return {
        {"ReadInterval", [](PortProbe& p) { p.Timeouts()->SetReadInterval(50); },
         [](PortProbe& p) { p.Timeouts()->SetReadInterval(-1); },
         [](const PortProbe& p) { return Str(p.Timeouts()->ReadInterval()); }, "50", OneTimeouts},
        {"ReadTotalMultiplier", [](PortProbe& p) { p.Timeouts()->SetReadTotalMultiplier(3); },
         [](PortProbe& p) { p.Timeouts()->SetReadTotalMultiplier(0); },
         [](const PortProbe& p) { return Str(p.Timeouts()->ReadTotalMultiplier()); }, "3",
         OneTimeouts},
        {"ReadTotalConstant", [](PortProbe& p) { p.Timeouts()->SetReadTotalConstant(7); },
         [](PortProbe& p) { p.Timeouts()->SetReadTotalConstant(0); },
         [](const PortProbe& p) { return Str(p.Timeouts()->ReadTotalConstant()); }, "7",
         OneTimeouts},
        {"WriteTotalMultiplier", [](PortProbe& p) { p.Timeouts()->SetWriteTotalMultiplier(0); },
         [](PortProbe& p) { p.Timeouts()->SetWriteTotalMultiplier(100); },
         [](const PortProbe& p) { return Str(p.Timeouts()->WriteTotalMultiplier()); }, "0",
         OneTimeouts},
        {"WriteTotalConstant", [](PortProbe& p) { p.Timeouts()->SetWriteTotalConstant(-5); },
         [](PortProbe& p) { p.Timeouts()->SetWriteTotalConstant(1000); },
         [](const PortProbe& p) { return Str(p.Timeouts()->WriteTotalConstant()); }, "-5",
         OneTimeouts},
        {"OutCTSFlow", [](PortProbe& p) { p.FlowControl()->SetOutCTSFlow(true); },
         [](PortProbe& p) { p.FlowControl()->SetOutCTSFlow(false); },
         [](const PortProbe& p) { return Str(p.FlowControl()->OutCTSFlow()); }, "1", OneDCB},
        {"OutDSRFlow", [](PortProbe& p) { p.FlowControl()->SetOutDSRFlow(true); },
         [](PortProbe& p) { p.FlowControl()->SetOutDSRFlow(false); },
         [](const PortProbe& p) { return Str(p.FlowControl()->OutDSRFlow()); }, "1", OneDCB},
        {"ControlDTR", [](PortProbe& p) { p.FlowControl()->SetControlDTR(dtrHandshake); },
         [](PortProbe& p) { p.FlowControl()->SetControlDTR(dtrDisable); },
         [](const PortProbe& p) { return Str(p.FlowControl()->ControlDTR()); }, "2", OneDCB},
        {"ControlRTS", [](PortProbe& p) { p.FlowControl()->SetControlRTS(rtsToggle); },
         [](PortProbe& p) { p.FlowControl()->SetControlRTS(rtsDisable); },
         [](const PortProbe& p) { return Str(p.FlowControl()->ControlRTS()); }, "3", OneDCB},
        {"XonXoffOut", [](PortProbe& p) { p.FlowControl()->SetXonXoffOut(true); },
         [](PortProbe& p) { p.FlowControl()->SetXonXoffOut(false); },
         [](const PortProbe& p) { return Str(p.FlowControl()->XonXoffOut()); }, "1", OneDCB},
        {"XonXoffIn", [](PortProbe& p) { p.FlowControl()->SetXonXoffIn(true); },
         [](PortProbe& p) { p.FlowControl()->SetXonXoffIn(false); },
         [](const PortProbe& p) { return Str(p.FlowControl()->XonXoffIn()); }, "1", OneDCB},
        {"DSRSensitivity", [](PortProbe& p) { p.FlowControl()->SetDSRSensitivity(true); },
         [](PortProbe& p) { p.FlowControl()->SetDSRSensitivity(false); },
         [](const PortProbe& p) { return Str(p.FlowControl()->DSRSensitivity()); }, "1", OneDCB},
        {"TxContinueOnXoff", [](PortProbe& p) { p.FlowControl()->SetTxContinueOnXoff(true); },
         [](PortProbe& p) { p.FlowControl()->SetTxContinueOnXoff(false); },
         [](const PortProbe& p) { return Str(p.FlowControl()->TxContinueOnXoff()); }, "1", OneDCB},
        {"XonChar", [](PortProbe& p) { p.FlowControl()->SetXonChar('A'); },
         [](PortProbe& p) { p.FlowControl()->SetXonChar(17); },
         [](const PortProbe& p) { return Str(p.FlowControl()->XonChar()); }, "65", OneDCB},
        {"XoffChar", [](PortProbe& p) { p.FlowControl()->SetXoffChar('B'); },
         [](PortProbe& p) { p.FlowControl()->SetXoffChar(19); },
         [](const PortProbe& p) { return Str(p.FlowControl()->XoffChar()); }, "66", OneDCB},
        {"Parity.Bits", [](PortProbe& p) { p.Parity()->SetBits(prMark); },
         [](PortProbe& p) { p.Parity()->SetBits(prNone); },
         [](const PortProbe& p) { return Str(p.Parity()->Bits()); }, "3", OneDCB},
        {"Parity.Check", [](PortProbe& p) { p.Parity()->SetCheck(true); },
         [](PortProbe& p) { p.Parity()->SetCheck(false); },
         [](const PortProbe& p) { return Str(p.Parity()->Check()); }, "1", OneDCB},
        {"Parity.Replace", [](PortProbe& p) { p.Parity()->SetReplace(true); },
         [](PortProbe& p) { p.Parity()->SetReplace(false); },
         [](const PortProbe& p) { return Str(p.Parity()->Replace()); }, "1", OneDCB},
        {"Parity.ReplaceChar", [](PortProbe& p) { p.Parity()->SetReplaceChar('?'); },
         [](PortProbe& p) { p.Parity()->SetReplaceChar(0); },
         [](const PortProbe& p) { return Str(p.Parity()->ReplaceChar()); }, "63", OneDCB},
        {"InputSize", [](PortProbe& p) { p.Buffer()->SetInputSize(4096); },
         [](PortProbe& p) { p.Buffer()->SetInputSize(1024); },
         [](const PortProbe& p) { return Str(p.Buffer()->InputSize()); }, "4096", OneBuffer},
        {"OutputSize", [](PortProbe& p) { p.Buffer()->SetOutputSize(34000); },
         [](PortProbe& p) { p.Buffer()->SetOutputSize(1024); },
         [](const PortProbe& p) { return Str(p.Buffer()->OutputSize()); }, "34000", OneBuffer},
    };
}

TEST(ComOptions, SetterStoresAndAppliesItsGroupOncePerRealChange) {
    for (const auto& row : OptionSetters()) {
        SCOPED_TRACE(row.name);
        PortProbe port;
        const std::string before = row.read(port);

        row.setDefault(port); // equal to the current value: ignored
        EXPECT_EQ(port.counts, ApplyCounts{});

        row.setChanged(port);
        EXPECT_EQ(row.read(port), row.changedText);
        EXPECT_EQ(port.counts, row.expectedOnChange);

        row.setChanged(port); // the same value again: nothing
        EXPECT_EQ(port.counts, row.expectedOnChange);

        row.setDefault(port);
        EXPECT_EQ(row.read(port), before);
        EXPECT_EQ(port.counts.total(), 2);
    }
}

TEST(ComOptions, ChangesReachTheDeviceOnlyWhileOpen) {
    for (const auto& row : OptionSetters()) {
        SCOPED_TRACE(row.name);
        PortProbe port;
        row.setChanged(port); // closed: recorded only
        EXPECT_EQ(port.counts.dcbApplied + port.counts.timeoutsApplied + port.counts.bufferApplied,
                  0);
        port.SetConnectedForTest(true);
        row.setDefault(port);
        EXPECT_EQ(port.counts.dcbApplied, row.expectedOnChange.dcb);
        EXPECT_EQ(port.counts.timeoutsApplied, row.expectedOnChange.timeouts);
        EXPECT_EQ(port.counts.bufferApplied, row.expectedOnChange.buffer);
    }
}

TEST(ComOptions, FreeStandingObjectsOnlyStore) {
    TComTimeouts t;
    t.SetReadInterval(10);
    EXPECT_EQ(t.ReadInterval(), 10);
    TComFlowControl f;
    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.GetFlowControl(), fcSoftware);
    TComParity p;
    p.SetBits(prEven);
    EXPECT_EQ(p.Bits(), prEven);
    TComBuffer b;
    b.SetOutputSize(33);
    EXPECT_EQ(b.OutputSize(), 32);
}

// ---- Flow control summary
// ------------------------------------------------------------------------

TEST(ComFlowControl, EachSummaryReadsBackAfterBeingSet) {
    for (TFlowControl start : {fcHardware, fcSoftware, fcNone}) {
        for (TFlowControl v : {fcHardware, fcSoftware, fcNone}) {
            TComFlowControl f;
            f.SetFlowControl(start);
            f.SetFlowControl(v);
            EXPECT_EQ(f.GetFlowControl(), v) << int(start) << "->" << int(v);
        }
    }
    TComFlowControl f;
    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(f.OutCTSFlow());
    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_TRUE(f.XonXoffIn());
    EXPECT_TRUE(f.XonXoffOut());
}

TEST(ComFlowControl, SummaryLooksOnlyAtRtsCtsAndXonXoff) {
    struct Row {
        TRTSFlowControl rts;
        bool cts, xin, xout;
        TFlowControl expected;
    };
    const Row rows[] = {
        {rtsHandshake, true, false, false, fcHardware}, {rtsDisable, false, true, true, fcSoftware},
        {rtsDisable, false, false, false, fcNone},      {rtsHandshake, true, true, false, fcCustom},
        {rtsHandshake, false, false, false, fcCustom},  {rtsEnable, true, false, false, fcCustom},
        {rtsDisable, false, true, false, fcCustom},     {rtsDisable, false, false, true, fcCustom},
        {rtsDisable, true, false, false, fcCustom},     {rtsEnable, false, false, false, fcCustom},
        {rtsToggle, false, true, true, fcCustom},
    };
    for (const auto& row : rows) {
        TComFlowControl f;
        f.SetControlRTS(row.rts);
        f.SetOutCTSFlow(row.cts);
        f.SetXonXoffIn(row.xin);
        f.SetXonXoffOut(row.xout);
        EXPECT_EQ(f.GetFlowControl(), row.expected)
            << int(row.rts) << row.cts << row.xin << row.xout;
        // The other six fields never change the summary.
        f.SetOutDSRFlow(true);
        f.SetControlDTR(dtrHandshake);
        f.SetDSRSensitivity(true);
        f.SetTxContinueOnXoff(true);
        f.SetXonChar('x');
        f.SetXoffChar('y');
        EXPECT_EQ(f.GetFlowControl(), row.expected);
    }
}

TEST(ComFlowControl, HardwareSurvivesDtrButNotXonXoff) {
    TComFlowControl f;
    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.GetFlowControl(), fcHardware);
    f.SetControlDTR(dtrHandshake);
    EXPECT_EQ(f.GetFlowControl(), fcHardware);
    f.SetXonXoffOut(true);
    EXPECT_EQ(f.GetFlowControl(), fcCustom);
}

TEST(ComFlowControl, SettingTheSummaryAppliesOnceEvenWhenNothingChanges) {
    PortProbe port;
    TComFlowControl& f = *port.FlowControl();
    f.SetControlRTS(rtsEnable);
    f.SetOutDSRFlow(true);
    f.SetXonXoffIn(true);
    port.counts = {};

    f.SetFlowControl(fcCustom); // no field changes, still one ApplyDCB
    EXPECT_EQ(f.ControlRTS(), rtsEnable);
    EXPECT_TRUE(f.XonXoffIn());
    EXPECT_TRUE(f.OutDSRFlow());
    EXPECT_EQ(port.counts, OneDCB);

    port.counts = {};
    f.SetFlowControl(fcHardware); // four fields written, one ApplyDCB
    EXPECT_EQ(port.counts, OneDCB);
    EXPECT_TRUE(f.OutDSRFlow()); // not part of the summary: kept
    port.counts = {};
    f.SetFlowControl(fcHardware); // no comparison with the current value
    EXPECT_EQ(port.counts, OneDCB);
}

// ---- The odd-size rule of TComBuffer
// -------------------------------------------------------------

TEST(ComBuffer, PositiveOddSizesRoundDown) {
    struct Row {
        std::int32_t set;
        std::int32_t reads;
    };
    const Row rows[] = {{1025, 1024}, {1, 0},         {-3, -3},
                        {-4, -4},     {0, 0},         {2, 2},
                        {7, 6},       {34000, 34000}, {2147483647, 2147483646}};
    for (const auto& row : rows) {
        TComBuffer b;
        b.SetInputSize(row.set);
        b.SetOutputSize(row.set);
        EXPECT_EQ(b.InputSize(), row.reads) << row.set;
        EXPECT_EQ(b.OutputSize(), row.reads) << row.set;
    }
}

TEST(ComBuffer, EqualValueAppliesNothingAndAnyOtherValueAppliesOnce) {
    PortProbe port;
    port.Buffer()->SetInputSize(1024);
    EXPECT_EQ(port.counts, ApplyCounts{});
    port.Buffer()->SetInputSize(2001);
    EXPECT_EQ(port.Buffer()->InputSize(), 2000);
    EXPECT_EQ(port.counts, OneBuffer);
    port.Buffer()->SetInputSize(2000);
    EXPECT_EQ(port.counts, OneBuffer);
    // The comparison is with the value as given, before rounding: 2001 differs from the stored
    // 2000, so it applies again although the stored size stays 2000.
    port.Buffer()->SetInputSize(2001);
    EXPECT_EQ(port.Buffer()->InputSize(), 2000);
    EXPECT_EQ(port.counts.buffer, 2);
}

// ---- AssignTo
// ------------------------------------------------------------------------------------

TEST(ComOptionsAssign, SameClassCopiesEveryFieldWithoutApplying) {
    PortProbe port;

    TComTimeouts t;
    t.SetReadInterval(1);
    t.SetReadTotalMultiplier(2);
    t.SetReadTotalConstant(3);
    t.SetWriteTotalMultiplier(4);
    t.SetWriteTotalConstant(5);
    port.Timeouts()->Assign(&t);
    EXPECT_EQ(port.Timeouts()->ReadInterval(), 1);
    EXPECT_EQ(port.Timeouts()->ReadTotalMultiplier(), 2);
    EXPECT_EQ(port.Timeouts()->ReadTotalConstant(), 3);
    EXPECT_EQ(port.Timeouts()->WriteTotalMultiplier(), 4);
    EXPECT_EQ(port.Timeouts()->WriteTotalConstant(), 5);

    TComFlowControl f;
    f.SetOutCTSFlow(true);
    f.SetOutDSRFlow(true);
    f.SetControlDTR(dtrEnable);
    f.SetControlRTS(rtsToggle);
    f.SetXonXoffOut(true);
    f.SetXonXoffIn(true);
    f.SetDSRSensitivity(true);
    f.SetTxContinueOnXoff(true);
    f.SetXonChar('a');
    f.SetXoffChar('b');
    port.FlowControl()->Assign(&f);
    const TComFlowControl& g = *port.FlowControl();
    EXPECT_TRUE(g.OutCTSFlow() && g.OutDSRFlow() && g.XonXoffOut() && g.XonXoffIn());
    EXPECT_TRUE(g.DSRSensitivity() && g.TxContinueOnXoff());
    EXPECT_EQ(g.ControlDTR(), dtrEnable);
    EXPECT_EQ(g.ControlRTS(), rtsToggle);
    EXPECT_EQ(g.XonChar(), 'a');
    EXPECT_EQ(g.XoffChar(), 'b');

    TComParity p;
    p.SetBits(prOdd);
    p.SetCheck(true);
    p.SetReplace(true);
    p.SetReplaceChar('#');
    port.Parity()->Assign(&p);
    EXPECT_EQ(port.Parity()->Bits(), prOdd);
    EXPECT_TRUE(port.Parity()->Check());
    EXPECT_TRUE(port.Parity()->Replace());
    EXPECT_EQ(port.Parity()->ReplaceChar(), '#');

    TComBuffer b;
    b.SetInputSize(100);
    b.SetOutputSize(200);
    port.Buffer()->Assign(&b);
    EXPECT_EQ(port.Buffer()->InputSize(), 100);
    EXPECT_EQ(port.Buffer()->OutputSize(), 200);

    // Copying bypasses the target's setters: its port hears nothing.
    EXPECT_EQ(port.counts, ApplyCounts{});
    // ... and the target keeps its own port; the source stays free-standing.
    EXPECT_EQ(port.Buffer()->ComPort(), &port);
    EXPECT_EQ(b.ComPort(), nullptr);
}

TEST(ComOptionsAssign, OtherClassFailsWithTheAssignErrorAndLeavesTheTargetAlone) {
    PortProbe port;
    TComParity parity;
    parity.SetBits(prEven);
    TComBuffer buffer;
    buffer.SetInputSize(10);
    TComTimeouts timeouts;
    timeouts.SetReadInterval(5);
    TComFlowControl flow;
    flow.SetFlowControl(fcHardware);

    EXPECT_THROW(port.Timeouts()->Assign(&parity), EConvertError);
    EXPECT_THROW(port.Parity()->Assign(&buffer), EConvertError);
    EXPECT_THROW(port.Buffer()->Assign(&flow), EConvertError);
    EXPECT_THROW(port.FlowControl()->Assign(&timeouts), EConvertError);
    EXPECT_THROW(port.FlowControl()->Assign(nullptr), EConvertError);
    try {
        port.Buffer()->Assign(&parity);
        FAIL() << "no assign error";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TComParity to a TComBuffer");
    }
    EXPECT_THROW(parity.AssignTo(nullptr), EConvertError);

    EXPECT_EQ(port.Timeouts()->ReadInterval(), -1);
    EXPECT_EQ(port.Parity()->Bits(), prNone);
    EXPECT_EQ(port.Buffer()->InputSize(), 1024);
    EXPECT_EQ(port.FlowControl()->GetFlowControl(), fcNone);
    EXPECT_EQ(port.counts, ApplyCounts{});
}

} // namespace
} // namespace zv
