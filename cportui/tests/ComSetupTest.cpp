// The port setup dialog, driven through the modal door: what reaches the port on OK and on
// Cancel, the one update bracket, and that the dialog is gone on every path.
#include "cportui/ComSetup.h"
#include "cport/ComPort.h"
#include "cportui/ComComboBox.h"
#include "platform/VirtualLine.h"
#include "toolkit/Strings.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/tests/QtTestApp.h"

#include <QGroupBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace zv {
namespace {

// A port that records, for every apply of a settings group, whether it came inside an update
// bracket, and can be told to refuse its line settings.
class TRecordingPort : public TComPort {
public:
    struct Apply {
        char group;  // 'D' DCB, 'T' time-outs, 'B' buffer
        bool inside; // inside an update bracket
    };
    std::vector<Apply> Applies;
    bool RefuseDCB = false;

    void ApplyDCB() override {
        Applies.push_back({'D', FUpdateCount > 0});
        if (RefuseDCB && FUpdateCount > 0)
            throw EComPort(7, 87);
        TComPort::ApplyDCB();
    }
    void ApplyTimeouts() override {
        Applies.push_back({'T', FUpdateCount > 0});
        TComPort::ApplyTimeouts();
    }
    void ApplyBuffer() override {
        Applies.push_back({'B', FUpdateCount > 0});
        TComPort::ApplyBuffer();
    }
    int UpdateCount() const { return FUpdateCount; }
};

// Picks an item by its text as a user would.
void PickText(TComComboBox& combo, const std::string& text) {
    const int index = combo.Items().IndexOf(text);
    ASSERT_NE(index, -1) << text;
    combo.setCurrentIndex(index);
    Q_EMIT combo.activated(index);
}

// Runs EditComPort with `decide` in place of the user; returns whether the dialog still
// existed after EditComPort ended (it must not).
class DialogTest : public ::testing::Test {
protected:
    void SetUp() override { test::QtTestApp(); }
    void TearDown() override { SetModalRunner(nullptr); }

    // `decide` gets the dialog and returns its modal result.
    void Drive(std::function<int(TComSetupFrm&)> decide) {
        SetModalRunner([this, decide](QDialog& dialog) {
            auto* form = qobject_cast<TComSetupFrm*>(&dialog);
            EXPECT_NE(form, nullptr);
            shown = form;
            return decide(*form);
        });
    }
    QPointer<TComSetupFrm> shown;
};

TEST_F(DialogTest, LayoutHasTheSixRowsInOrder) {
    TComSetupFrm form;
    EXPECT_EQ(form.windowTitle(), "Setup");
    EXPECT_EQ(form.GroupBox1->title(), " Settings ");
    const char* captions[] = {"Port",      "Baud rate", "Data bits",
                              "Stop bits", "Parity",    "Flow control"};
    QLabel* labels[] = {form.Label1, form.Label2, form.Label3,
                        form.Label4, form.Label5, form.Label6};
    const TComProperty properties[] = {cpPort,     cpBaudRate, cpDataBits,
                                       cpStopBits, cpParity,   cpFlowControl};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(labels[i]->text(), captions[i]);
        EXPECT_EQ(labels[i]->buddy(), form.Combo(i));
        EXPECT_EQ(form.Combo(i)->ComProperty(), properties[i]);
        EXPECT_FALSE(form.Combo(i)->AutoApply());
    }
    // Tab order: the six combos, OK, Cancel (other widgets in the chain are skipped).
    const std::vector<QWidget*> order = {form.Combo1, form.Combo2, form.Combo3,  form.Combo4,
                                         form.Combo5, form.Combo6, form.Button1, form.Button2};
    std::vector<QWidget*> chain;
    QWidget* w = form.Combo1;
    for (int step = 0; step < 500 && chain.size() < order.size(); ++step, w = w->nextInFocusChain())
        if (std::find(order.begin(), order.end(), w) != order.end() &&
            std::find(chain.begin(), chain.end(), w) == chain.end())
            chain.push_back(w);
    EXPECT_EQ(chain, order);
    // The stored texts of the description, with no port attached yet.
    EXPECT_EQ(form.Combo2->Text(), "Custom");
    EXPECT_EQ(form.Combo3->Text(), "5");
    EXPECT_EQ(form.Combo6->Text(), "Hardware");
    EXPECT_EQ(form.Button1->text(), "OK");
    EXPECT_TRUE(form.Button1->isDefault());
    EXPECT_EQ(form.Button2->text(), "Cancel");
}

TEST_F(DialogTest, CancelLeavesThePortAsItWasAfterPicks) {
    auto line = VirtualLine::Create("ZVSETUP1");
    TRecordingPort port;
    Drive([](TComSetupFrm& form) {
        EXPECT_EQ(form.Combo2->Text(), "9600");
        PickText(*form.Combo1, "ZVSETUP1");
        PickText(*form.Combo2, "300");
        PickText(*form.Combo3, "6");
        PickText(*form.Combo4, "2");
        PickText(*form.Combo5, "Odd");
        PickText(*form.Combo6, "None");
        return int(QDialog::Rejected);
    });
    EditComPort(&port);
    EXPECT_TRUE(shown.isNull()) << "the dialog is destroyed after Cancel";
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity()->Bits(), prNone);
    EXPECT_EQ(port.FlowControl()->GetFlowControl(), fcNone);
    EXPECT_TRUE(port.Applies.empty());
}

TEST_F(DialogTest, OkWritesAllSixInsideOneBracket) {
    auto line = VirtualLine::Create("ZVSETUP2");
    TRecordingPort port;
    Drive([](TComSetupFrm& form) {
        PickText(*form.Combo1, "ZVSETUP2");
        PickText(*form.Combo2, "115200");
        PickText(*form.Combo3, "7");
        PickText(*form.Combo4, "1.5");
        PickText(*form.Combo5, "Space");
        PickText(*form.Combo6, "Software");
        return int(QDialog::Accepted);
    });
    EditComPort(&port);
    EXPECT_TRUE(shown.isNull());
    EXPECT_EQ(port.Port(), "ZVSETUP2");
    EXPECT_EQ(port.BaudRate(), br115200);
    EXPECT_EQ(port.DataBits(), dbSeven);
    EXPECT_EQ(port.StopBits(), sbOne5StopBits);
    EXPECT_EQ(port.Parity()->Bits(), prSpace);
    EXPECT_EQ(port.FlowControl()->GetFlowControl(), fcSoftware);
    EXPECT_EQ(port.UpdateCount(), 0);

    // Every apply of a changed setting came inside the bracket; the bracket's end applied
    // the whole configuration once (buffer, DCB, time-outs).
    ASSERT_GE(port.Applies.size(), 3u);
    const std::size_t n = port.Applies.size();
    for (std::size_t i = 0; i + 3 < n; ++i)
        EXPECT_TRUE(port.Applies[i].inside) << "apply " << i << " outside the bracket";
    EXPECT_EQ(port.Applies[n - 3].group, 'B');
    EXPECT_EQ(port.Applies[n - 2].group, 'D');
    EXPECT_EQ(port.Applies[n - 1].group, 'T');
    EXPECT_FALSE(port.Applies[n - 2].inside);
}

TEST_F(DialogTest, OkOnAnOpenPortReconfiguresItOnce) {
    auto line = VirtualLine::Create("ZVSETUP3");
    TRecordingPort port;
    port.SetPort("ZVSETUP3");
    port.SetEvents(TComEvents{});
    port.Open();
    line->TakeChanges();
    Drive([](TComSetupFrm& form) {
        PickText(*form.Combo2, "2400");
        PickText(*form.Combo5, "Even");
        return int(QDialog::Accepted);
    });
    EditComPort(&port);
    EXPECT_TRUE(port.Connected());
    int configs = 0;
    for (const LineChange& change : line->TakeChanges())
        if (change.signal == LineSignal::Config)
            ++configs;
    EXPECT_EQ(configs, 1) << "one DCB reaches the device, at the end of the bracket";
    EXPECT_EQ(line->Settings().BaudRate, 2400u);
    EXPECT_EQ(line->Settings().Parity, EVENPARITY);
}

TEST_F(DialogTest, UnknownPortNameSelectsNothingAndOkKeepsIt) {
    TRecordingPort port;
    port.SetPort("NOSUCHPORT");
    port.SetBaudRate(br4800);
    Drive([](TComSetupFrm& form) {
        EXPECT_EQ(form.Combo1->currentIndex(), -1);
        EXPECT_EQ(form.Combo1->Text(), "");
        EXPECT_EQ(form.Combo2->Text(), "4800");
        return int(QDialog::Accepted);
    });
    EditComPort(&port);
    EXPECT_EQ(port.Port(), "NOSUCHPORT") << "no port selected keeps the port's own name";
    EXPECT_EQ(port.BaudRate(), br4800);
}

TEST_F(DialogTest, ApplyFailureClosesTheBracketAndDestroysTheDialog) {
    auto line = VirtualLine::Create("ZVSETUP4");
    TRecordingPort port;
    port.SetPort("ZVSETUP4");
    port.SetEvents(TComEvents{});
    port.Open();
    port.RefuseDCB = true;
    Drive([](TComSetupFrm& form) {
        PickText(*form.Combo2, "1200");
        return int(QDialog::Accepted);
    });
    EXPECT_THROW(EditComPort(&port), EComPort);
    EXPECT_TRUE(shown.isNull()) << "the dialog is destroyed when applying raises";
    EXPECT_EQ(port.UpdateCount(), 0) << "the update bracket is closed when applying raises";
    EXPECT_EQ(port.BaudRate(), br1200) << "what was written before the failure stays written";
    port.RefuseDCB = false;
    port.SetBaudRate(br9600); // the port applies again: the bracket is really closed
    EXPECT_EQ(line->Settings().BaudRate, 9600u);
}

} // namespace
} // namespace zv
