// The setting selectors: their lists, how they read a port, record a pick and write it back,
// and how they let go of a port that is destroyed.
#include "cport/ComPort.h"
#include "cport/EnumComPorts.h"
#include "cportui/ComComboBox.h"
#include "cportui/ComRadioGroup.h"
#include "platform/VirtualLine.h"
#include "toolkit/Strings.h"
#include "toolkit/qt/tests/QtTestApp.h"

#include <QRadioButton>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zv {
namespace {

using Lines = std::vector<std::string>;

Lines ItemsOf(TStrings& items) {
    Lines lines;
    for (int i = 0; i < items.Count(); ++i)
        lines.push_back(items.Get(i));
    return lines;
}

// A user's pick of item Index: the selection moves, then Qt raises `activated`.
void Pick(TComComboBox& combo, int Index) {
    combo.setCurrentIndex(Index);
    Q_EMIT combo.activated(Index);
}

class SelectorTest : public ::testing::Test {
protected:
    void SetUp() override { test::QtTestApp(); }
};

struct ListCase {
    TComProperty property;
    Lines items;
};

TEST_F(SelectorTest, EachSettingListsEveryValueInOrdinalOrder) {
    const ListCase cases[] = {
        {cpNone, {}},
        {cpBaudRate,
         {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400",
          "56000", "57600", "115200", "128000", "256000"}},
        {cpDataBits, {"5", "6", "7", "8"}},
        {cpStopBits, {"1", "1.5", "2"}},
        {cpParity, {"None", "Odd", "Even", "Mark", "Space"}},
        {cpFlowControl, {"Hardware", "Software", "None", "Custom"}},
    };
    for (const ListCase& c : cases) {
        TComComboBox combo;
        TComRadioGroup group;
        combo.SetComProperty(c.property);
        group.SetComProperty(c.property);
        EXPECT_EQ(ItemsOf(combo.Items()), c.items) << "property " << int(c.property);
        EXPECT_EQ(ItemsOf(group.Items()), c.items) << "property " << int(c.property);
        // Without a port the first item is chosen; an empty list chooses nothing.
        EXPECT_EQ(combo.currentIndex(), c.items.empty() ? -1 : 0);
        EXPECT_EQ(group.ItemIndex(), c.items.empty() ? -1 : 0);
        EXPECT_EQ(group.findChildren<QRadioButton*>().size(), qsizetype(c.items.size()));
    }
}

TEST_F(SelectorTest, PortListIsTheSystemListWithVirtualLines) {
    auto line = VirtualLine::Create("ZVSELECT1");
    TStringList expected;
    EnumComPorts(&expected);
    TComComboBox combo;
    combo.SetComProperty(cpPort);
    EXPECT_EQ(ItemsOf(combo.Items()), ItemsOf(expected));
    EXPECT_NE(combo.Items().IndexOf("ZVSELECT1"), -1);
}

// A port set to values that are none of the pending defaults.
void SetUncommonValues(TCustomComPort& port) {
    port.SetBaudRate(br19200);
    port.SetDataBits(dbSeven);
    port.SetStopBits(sbTwoStopBits);
    port.Parity()->SetBits(prEven);
    port.FlowControl()->SetFlowControl(fcSoftware);
}

struct ReadCase {
    TComProperty property;
    std::string shown;
};

TEST_F(SelectorTest, AttachingAPortSelectsItsCurrentValue) {
    auto line = VirtualLine::Create("ZVSELECT2");
    TComPort port;
    port.SetPort("ZVSELECT2");
    SetUncommonValues(port);
    const ReadCase cases[] = {
        {cpPort, "ZVSELECT2"}, {cpBaudRate, "19200"}, {cpDataBits, "7"},
        {cpStopBits, "2"},     {cpParity, "Even"},    {cpFlowControl, "Software"},
    };
    for (const ReadCase& c : cases) {
        // Property first, then port; and port first, then property.
        TComComboBox combo;
        combo.SetComProperty(c.property);
        combo.SetComPort(&port);
        EXPECT_EQ(combo.Text(), c.shown) << "property " << int(c.property);

        TComRadioGroup group;
        group.SetComPort(&port);
        group.SetComProperty(c.property);
        ASSERT_NE(group.ItemIndex(), -1);
        EXPECT_EQ(group.Items().Get(group.ItemIndex()), c.shown);
    }
}

TEST_F(SelectorTest, ValueMissingFromTheListSelectsNothingAndKeepsThePendingValue) {
    TComPort port;
    port.SetPort("NOSUCHPORT");
    TComComboBox combo;
    combo.SetComProperty(cpPort);
    combo.SetComPort(&port);
    EXPECT_EQ(combo.currentIndex(), -1);
    EXPECT_EQ(combo.Text(), "");
    EXPECT_EQ(combo.Select().PendingPort(), "");

    // A flow-control configuration that matches no preset shows "Custom".
    port.FlowControl()->SetFlowControl(fcNone);
    port.FlowControl()->SetOutCTSFlow(true);
    TComComboBox flow;
    flow.SetComProperty(cpFlowControl);
    flow.SetComPort(&port);
    EXPECT_EQ(flow.Text(), "Custom");
}

TEST_F(SelectorTest, PickRecordsAndApplyWritesWithoutAutoApply) {
    TComPort port;
    TComComboBox combo;
    combo.SetComProperty(cpBaudRate);
    combo.SetComPort(&port);
    int changes = 0;
    combo.OnChange = [&](TObject*) { ++changes; };

    Pick(combo, combo.Items().IndexOf("57600"));
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(combo.Select().PendingBaudRate(), br57600);
    EXPECT_EQ(port.BaudRate(), br9600) << "nothing reaches the port before ApplySettings";
    combo.ApplySettings();
    EXPECT_EQ(port.BaudRate(), br57600);
}

TEST_F(SelectorTest, PickAppliesAtOnceWithAutoApply) {
    TComPort port;
    TComComboBox combo;
    combo.SetComProperty(cpParity);
    combo.SetComPort(&port);
    combo.SetAutoApply(true);
    Pick(combo, combo.Items().IndexOf("Mark"));
    EXPECT_EQ(port.Parity()->Bits(), prMark);

    TComRadioGroup group;
    group.SetComProperty(cpStopBits);
    group.SetComPort(&port);
    group.SetAutoApply(true);
    group.Button(2)->click();
    EXPECT_EQ(port.StopBits(), sbTwoStopBits);
}

// A port whose device refuses every new line setting.
class TRefusingPort : public TComPort {
public:
    void ApplyDCB() override { throw EComPort(7, 87); }
};

TEST_F(SelectorTest, RefusedAutoApplyIsShownAndThePickStaysPending) {
    std::vector<std::string> shown;
    const TExceptionHandler previous = SetApplicationExceptionHandler(
        [&](const std::exception& e) { shown.emplace_back(e.what()); });
    TRefusingPort port;
    TComComboBox combo;
    combo.SetComProperty(cpBaudRate);
    combo.SetComPort(&port);
    combo.SetAutoApply(true);
    int changes = 0;
    combo.OnChange = [&](TObject*) { ++changes; };
    Pick(combo, combo.Items().IndexOf("600"));
    SetApplicationExceptionHandler(previous);

    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], EComPort(7, 87).what());
    EXPECT_EQ(combo.Select().PendingBaudRate(), br600);
    EXPECT_EQ(combo.Text(), "600");
    EXPECT_EQ(changes, 0) << "the rest of the handler is skipped";
}

TEST_F(SelectorTest, ApplyBeforeAnyReadWritesTheInitialPendingValues) {
    TComPort port;
    SetUncommonValues(port);
    port.SetPort("COM7");
    const TComProperty properties[] = {cpPort,     cpBaudRate, cpDataBits,
                                       cpStopBits, cpParity,   cpFlowControl};
    for (TComProperty p : properties) {
        TComSelect select;
        TStringList items;
        select.SetItems(&items);
        select.SetComProperty(p);
        select.SetComPort(&port);
        select.ApplySettings();
    }
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.DataBits(), dbFive);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity()->Bits(), prNone);
    EXPECT_EQ(port.FlowControl()->GetFlowControl(), fcHardware);
    // No port name was ever chosen: the port keeps its own instead of getting an empty one.
    EXPECT_EQ(port.Port(), "COM7");
}

TEST_F(SelectorTest, NoneListsNothingAndChangesNothing) {
    TComPort port;
    TComComboBox combo;
    combo.SetComPort(&port);
    EXPECT_EQ(combo.count(), 0);
    combo.SetAutoApply(true);
    TComSelect select;
    TStringList items;
    select.SetItems(&items);
    select.SetComPort(&port);
    select.SetAutoApply(true);
    select.Change("110");
    select.ApplySettings();
    EXPECT_EQ(port.BaudRate(), br9600);
}

TEST_F(SelectorTest, RadioGroupReportsOnlyANewChoice) {
    TComPort port;
    TComRadioGroup group;
    group.SetComProperty(cpDataBits);
    group.SetComPort(&port);
    group.SetAutoApply(true);
    int clicks = 0;
    TObject* sender = nullptr;
    group.OnClick = [&](TObject* Sender) {
        ++clicks;
        sender = Sender;
    };
    ASSERT_EQ(group.ItemIndex(), 3); // "8"

    group.Button(1)->click();
    EXPECT_EQ(group.ItemIndex(), 1);
    EXPECT_EQ(port.DataBits(), dbSix);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(sender, static_cast<TObject*>(&group)); // a shared handler can tell the groups apart

    // The port changes behind the group's back; choosing the chosen button again records and
    // applies nothing, but OnClick is raised in every case.
    port.SetDataBits(dbEight);
    group.Button(1)->click();
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(clicks, 2);
}

TEST_F(SelectorTest, DestroyingTheAttachedPortSelectsTheFirstItemAndDetaches) {
    auto port = std::make_unique<TComPort>();
    port->SetBaudRate(br115200);
    TComComboBox combo;
    combo.SetComProperty(cpBaudRate);
    combo.SetComPort(port.get());
    TComRadioGroup group;
    group.SetComProperty(cpBaudRate);
    group.SetComPort(port.get());
    ASSERT_EQ(combo.Text(), "115200");

    port.reset();
    EXPECT_EQ(combo.ComPort(), nullptr);
    EXPECT_EQ(combo.currentIndex(), 0);
    EXPECT_EQ(group.ComPort(), nullptr);
    EXPECT_EQ(group.ItemIndex(), 0);
    // Nothing refers to the freed port any more.
    combo.ApplySettings();
    group.ApplySettings();
}

TEST_F(SelectorTest, DestroyingTheSelectorFirstLeavesThePortSound) {
    TComPort port;
    {
        auto combo = std::make_unique<TComComboBox>();
        combo->SetComProperty(cpDataBits);
        combo->SetComPort(&port);
        auto group = std::make_unique<TComRadioGroup>();
        group->SetComProperty(cpDataBits);
        group->SetComPort(&port);
    }
    // The port's destruction (end of scope) must not notify the freed controls (ASan).
}

TEST_F(SelectorTest, DetachingKeepsListAndSelection) {
    TComPort port;
    port.SetDataBits(dbSix);
    TComComboBox combo;
    combo.SetComProperty(cpDataBits);
    combo.SetComPort(&port);
    combo.SetComPort(nullptr);
    EXPECT_EQ(combo.count(), 4);
    EXPECT_EQ(combo.Text(), "6");
}

TEST_F(SelectorTest, StoredTextSelectsItsItemWhateverTheLoadingOrder) {
    TComComboBox combo;
    combo.BeginLoading();
    combo.SetText("7"); // read before the list exists
    combo.SetComProperty(cpDataBits);
    combo.Loaded();
    EXPECT_EQ(combo.Text(), "7");

    // Outside loading an unknown text changes nothing; matching ignores ASCII case.
    combo.SetText("9");
    EXPECT_EQ(combo.Text(), "7");
    TComComboBox parity;
    parity.SetComProperty(cpParity);
    parity.SetText("space");
    EXPECT_EQ(parity.Text(), "Space");
}

} // namespace
} // namespace zv
