// The signal LED: its glyphs, the plain lamp, following a port on a virtual line whose far end
// moves the lines, the ring count, painting, custom glyphs, and letting go of a port.
#include "terminal/qt/ComLed.h"

#include "cport/ComError.h"
#include "cport/ComPort.h"
#include "cport/tests/PortTestSupport.h"
#include "toolkit/qt/tests/QtTestApp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QMetaObject>
#include <QPainter>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs Qt's events (the port's hand-offs arrive as such) until done() holds.
bool PumpQt(const std::function<bool()>& done,
            std::chrono::milliseconds patience = test::Patience) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > patience.count())
            return false;
        QTimer wake; // an event within 5 ms, so the wait below returns
        wake.setSingleShot(true);
        wake.start(5);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void PumpQtFor(std::chrono::milliseconds span) {
    const auto end = Clock::now() + span;
    PumpQt([&] { return Clock::now() >= end; }, span + 1s);
}

// Paints the LED onto a key colour that no glyph uses, so that undrawn pixels stay visible.
const QRgb Key = qRgb(0, 255, 255);

QImage Rendered(TComLed& led) {
    QImage image(led.size(), QImage::Format_ARGB32);
    image.fill(Key);
    led.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

QImage Expected(QSize size, const QPixmap& glyph, QPoint at) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Key);
    QPainter painter(&image);
    painter.drawPixmap(at, glyph);
    return image;
}

class ComLedTest : public ::testing::Test {
protected:
    void SetUp() override { test::QtTestApp(); }

    // Records every OnChange of `led` as "1"/"0".
    void Record(TComLed& led) {
        led.OnChange = [this](TObject*, TLedState state) {
            changes.push_back(state == lsOn ? "1" : "0");
        };
    }
    std::vector<std::string> changes;
};

TEST_F(ComLedTest, BuiltInGlyphsAreSmallSixteenColourPicturesOnAnUndrawnBackground) {
    const QRgb olive = qRgb(0x80, 0x80, 0x00), purple = qRgb(0x80, 0x00, 0x80);
    struct GlyphCase {
        TLedKind kind;
        const char* on;
        const char* off;
        QRgb background;
    };
    const GlyphCase cases[] = {
        {lkRedLight, "LEDREDON", "LEDREDOFF", olive},
        {lkGreenLight, "LEDGREENON", "LEDGREENOFF", olive},
        {lkBlueLight, "LEDBLUEON", "LEDBLUEOFF", olive},
        {lkYellowLight, "LEDYELLOWON", "LEDYELLOWOFF", purple},
        {lkPurpleLight, "LEDPURPLEON", "LEDPURPLEOFF", olive},
        {lkBulb, "LEDBULBON", "LEDBULBOFF", olive},
    };
    for (const GlyphCase& c : cases) {
        EXPECT_EQ(LedGlyphName(c.kind, lsOn), c.on);
        EXPECT_EQ(LedGlyphName(c.kind, lsOff), c.off);
        QImage pictures[2];
        for (TLedState state : {lsOff, lsOn}) {
            SCOPED_TRACE(LedGlyphName(c.kind, state).toStdString());
            const QImage image(LedGlyphResource(c.kind, state), "XPM");
            ASSERT_FALSE(image.isNull());
            EXPECT_EQ(image.size(), QSize(15, 15));
            QSet<QRgb> colours;
            for (int y = 0; y < 15; ++y)
                for (int x = 0; x < 15; ++x)
                    colours.insert(image.pixel(x, y) & RGB_MASK);
            EXPECT_LE(colours.size(), 16);
            EXPECT_EQ(image.pixel(0, 14) & RGB_MASK, c.background & RGB_MASK);
            // The background is not drawn; the picture is.
            const QImage shown = TransparentGlyph(QPixmap::fromImage(image)).toImage();
            EXPECT_EQ(qAlpha(shown.pixel(0, 14)), 0);
            EXPECT_EQ(qAlpha(shown.pixel(14, 0)), 0);
            EXPECT_EQ(qAlpha(shown.pixel(7, 7)), 255);
            pictures[state] = image;
        }
        EXPECT_NE(pictures[lsOn], pictures[lsOff]) << c.on;
    }
    EXPECT_TRUE(LedGlyphName(lkCustom, lsOn).isEmpty());
}

TEST_F(ComLedTest, WithoutAPortStateSwitchesTheLampAndAlwaysReports) {
    TComLed led;
    EXPECT_EQ(led.size(), QSize(25, 25));
    EXPECT_EQ(led.State(), lsOff);
    EXPECT_EQ(led.LedSignal(), lsConn);
    EXPECT_EQ(led.Kind(), lkRedLight);
    EXPECT_EQ(led.RingDuration(), 1000);
    EXPECT_TRUE(led.GlyphOn().isNull()) << "no glyph is loaded before one is needed";
    Record(led);
    led.SetState(lsOn);
    led.SetState(lsOn);
    led.SetState(lsOff);
    EXPECT_EQ(changes, (std::vector<std::string>{"1", "1", "0"}));

    // While loading, the state is stored without a report.
    led.BeginLoading();
    led.SetState(lsOn);
    led.Loaded();
    EXPECT_EQ(led.State(), lsOn);
    EXPECT_EQ(changes.size(), 3u);
}

TEST_F(ComLedTest, ExactlyTheWatchedSignalsSlotIsBound) {
    struct SlotCase {
        TComLedSignal signal;
        std::vector<std::string> bound;
    };
    // An activity lamp also hears the close, which ends the activity.
    const SlotCase cases[] = {
        {lsConn, {"Conn"}}, {lsCTS, {"CTS"}},       {lsDSR, {"DSR"}},       {lsRLSD, {"RLSD"}},
        {lsRing, {"Ring"}}, {lsRx, {"Conn", "Rx"}}, {lsTx, {"Conn", "Tx"}}, {lsConn, {"Conn"}},
    };
    TComLed led;
    for (const SlotCase& c : cases) {
        led.SetLedSignal(c.signal);
        const TComLink& l = led.Link();
        std::vector<std::string> bound;
        if (l.OnLinkConn)
            bound.push_back("Conn");
        if (l.OnLinkCTS)
            bound.push_back("CTS");
        if (l.OnLinkDSR)
            bound.push_back("DSR");
        if (l.OnLinkRLSD)
            bound.push_back("RLSD");
        if (l.OnLinkRing)
            bound.push_back("Ring");
        if (l.OnLinkRx)
            bound.push_back("Rx");
        if (l.OnLinkTx)
            bound.push_back("Tx");
        EXPECT_EQ(bound, c.bound);
        EXPECT_FALSE(l.OnLinkRxData) << "the LED must not take received data";
        EXPECT_FALSE(l.OnLinkTxData || l.OnLinkTxEmpty || l.OnLinkRxFlag);
    }
}

// How the far end raises and lowers the line an LED watches.
struct LineCase {
    TComLedSignal signal;
    const char* name;
    std::function<void(VirtualLine&, bool)> set;
};

const LineCase LineCases[] = {
    {lsCTS, "CTS", [](VirtualLine& l, bool on) { l.SetCts(on); }},
    {lsDSR, "DSR", [](VirtualLine& l, bool on) { l.SetDsr(on); }},
    {lsRLSD, "RLSD", [](VirtualLine& l, bool on) { l.SetDcd(on); }},
};

TEST_F(ComLedTest, FollowsTheWatchedLineOfAPort) {
    for (const LineCase& c : LineCases) {
        SCOPED_TRACE(c.name);
        test::LinePort p;
        changes.clear();
        auto led = std::make_unique<TComLed>();
        led->SetLedSignal(c.signal);
        Record(*led);
        c.set(*p.line, true);

        // A closed port changes nothing; with a port attached the state is the port's.
        led->SetComPort(p.port.get());
        EXPECT_EQ(p.port->LinkCount(), 1);
        EXPECT_TRUE(changes.empty());
        EXPECT_THROW(
            {
                try {
                    led->SetState(lsOn);
                } catch (const EComPort& e) {
                    EXPECT_EQ(e.ErrorCode(), 19);
                    EXPECT_STREQ(e.what(), "Cannot change led state if ComPort is selected");
                    throw;
                }
            },
            EComPort);
        EXPECT_EQ(led->State(), lsOff);

        // Opening reports the line as it is; the far end moves it.
        p.port->Open();
        EXPECT_EQ(led->State(), lsOn);
        c.set(*p.line, false);
        EXPECT_TRUE(PumpQt([&] { return led->State() == lsOff; }));
        c.set(*p.line, true);
        EXPECT_TRUE(PumpQt([&] { return led->State() == lsOn; }));

        // A second LED attached to the open port shows the level at once.
        TComLed other;
        other.SetLedSignal(c.signal);
        other.SetComPort(p.port.get());
        EXPECT_EQ(other.State(), lsOn);

        // Watching another signal keeps the picture until that signal reports.
        led->SetLedSignal(c.signal == lsCTS ? lsDSR : lsCTS);
        EXPECT_EQ(led->State(), lsOn);

        // Detaching turns the lamp off; the port loses the link.
        led->SetComPort(nullptr);
        EXPECT_EQ(led->State(), lsOff);
        EXPECT_EQ(p.port->LinkCount(), 1);
        led.reset();
        EXPECT_EQ(changes.back(), "0");
    }
}

// A pseudo-terminal has no modem lines: the port opens on it all the same, and a lamp attached
// to the open port shows its line off instead of failing.
TEST_F(ComLedTest, ALineLampOnADeviceWithoutModemLinesIsOff) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master))
        GTEST_SKIP() << "no pseudo-terminals on this machine";
    TComPort port;
    port.SetPort(ptsname(master));
    port.Open();
    const struct {
        TComLedSignal signal;
        TLedState state;
    } cases[] = {{lsConn, lsOn}, {lsCTS, lsOff}, {lsDSR, lsOff}, {lsRLSD, lsOff}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.signal));
        TComLed led;
        led.SetLedSignal(c.signal);
        led.SetState(lsOn);
        EXPECT_NO_THROW(led.SetComPort(&port));
        EXPECT_EQ(led.ComPort(), &port);
        EXPECT_EQ(led.State(), c.state);
    }
    port.Close();
    ::close(master);
}

TEST_F(ComLedTest, ConnFollowsOpenAndClose) {
    test::LinePort p;
    TComLed led;
    Record(led);
    led.SetComPort(p.port.get());
    EXPECT_TRUE(changes.empty());
    p.port->Open();
    EXPECT_EQ(led.State(), lsOn);
    p.port->Close();
    EXPECT_EQ(led.State(), lsOff);
    EXPECT_EQ(changes, (std::vector<std::string>{"1", "0"}));
    p.port->Open();
    TComLed attachedLate;
    attachedLate.SetComPort(p.port.get());
    EXPECT_EQ(attachedLate.State(), lsOn);
}

TEST_F(ComLedTest, RxAndTxShowActivity) {
    test::LinePort p;
    TComLed rx, tx;
    rx.SetLedSignal(lsRx);
    tx.SetLedSignal(lsTx);
    rx.SetComPort(p.port.get());
    tx.SetComPort(p.port.get());
    std::vector<std::string> txLog;
    tx.OnChange = [&](TObject*, TLedState s) { txLog.push_back(s == lsOn ? "1" : "0"); };
    p.port->Open();
    EXPECT_EQ(rx.State(), lsOff);

    // Bytes arrive and stay queued (nobody takes them): Rx lit; reading them all: dark.
    p.line->Write("hello");
    ASSERT_TRUE(PumpQt([&] { return rx.State() == lsOn; }));
    std::string got;
    p.port->ReadStr(got, 5);
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(rx.State(), lsOff);

    // A write lights Tx before it starts; the emptied output queue puts it out.
    p.port->WriteStr("abc");
    ASSERT_FALSE(txLog.empty());
    EXPECT_EQ(txLog.front(), "1");
    EXPECT_TRUE(PumpQt([&] { return tx.State() == lsOff; }));
    EXPECT_EQ(p.line->ReadString(3, 1s), "abc");
}

// A closed port has no activity: its Rx or Tx lamp goes dark at the close, whatever was going on,
// and stays dark when the port opens again.
TEST_F(ComLedTest, ActivityLampsGoDarkWhenThePortCloses) {
    static const std::string held = "abc";
    const struct {
        TComLedSignal signal;
        const char* name;
        std::function<void(test::LinePort&, TAsyncHolder&)> light;
    } cases[] = {
        {lsRx, "Rx: bytes nobody reads",
         [](test::LinePort& p, TAsyncHolder&) { p.line->Write("hello"); }},
        {lsTx, "Tx: a write the far end holds back",
         [](test::LinePort& p, TAsyncHolder& async) {
             p.line->SetCts(false);
             p.port->WriteStrAsync(held, async.Get());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LinePort p;
        p.port->FlowControl()->SetOutCTSFlow(true);
        TComLed led;
        led.SetLedSignal(c.signal);
        led.SetComPort(p.port.get());
        p.port->Open();
        TAsyncHolder async;
        c.light(p, async);
        ASSERT_TRUE(PumpQt([&] { return led.State() == lsOn; }));

        p.port->Close();
        EXPECT_EQ(led.State(), lsOff);
        p.port->Open();
        PumpQtFor(100ms);
        EXPECT_EQ(led.State(), lsOff);
    }
}

TEST_F(ComLedTest, ARingBurstLightsTheLampForRingDurationFromItsFirstRing) {
    test::LinePort p;
    TComLed led;
    led.SetLedSignal(lsRing);
    led.SetRingDuration(1000);
    struct Seen {
        bool on;
        Clock::time_point at;
        int remaining; // of the ring count, when the state was set
    };
    std::vector<Seen> seen;
    led.OnChange = [&](TObject*, TLedState s) {
        seen.push_back({s == lsOn, Clock::now(), led.RingRemaining()});
    };
    led.SetComPort(p.port.get());
    p.port->Open();
    auto ring = [&] {
        p.line->SetRing(true);
        p.line->SetRing(false); // the ring event comes as the ring signal ends
    };

    ring();
    ASSERT_TRUE(PumpQt([&] { return led.State() == lsOn; }));
    PumpQtFor(300ms);
    ring();
    ASSERT_TRUE(PumpQt([&] { return seen.size() >= 2; }));
    ASSERT_TRUE(PumpQt([&] { return led.State() == lsOff; }));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen[0].on && seen[1].on && !seen[2].on);
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(seen[1].at - seen[0].at);
    ASSERT_GE(gap, 300ms);
    if (gap >= 1000ms)
        GTEST_SKIP() << "the second ring arrived after the first one's count had run out";
    // The second ring does not start the count again: what is left is what the first left.
    EXPECT_GT(seen[0].remaining, 900);
    EXPECT_LE(seen[1].remaining, 1000 - gap.count() + 5);
    EXPECT_GE(seen[2].at - seen[0].at, 990ms);

    // A new duration while the lamp is lit starts the count again.
    ring();
    ASSERT_TRUE(PumpQt([&] { return led.State() == lsOn; }));
    led.SetRingDuration(60000);
    EXPECT_GT(led.RingRemaining(), 50000);
    led.SetRingDuration(20);
    EXPECT_TRUE(PumpQt([&] { return led.State() == lsOff; }, 2s));
    EXPECT_EQ(led.RingRemaining(), -1);
    led.SetRingDuration(-5);
    EXPECT_EQ(led.RingDuration(), 0);
}

// The ring count belongs to the ring it watched: another port or another signal ends it, and the
// lamp shows what it was set to after the count would have run out. A ring lamp moved to another
// port goes dark: the ring was the old port's.
TEST_F(ComLedTest, ARingCountEndsWithThePortOrTheSignal) {
    const struct {
        const char* name;
        std::function<void(TComLed&, TComPort&)> change;
        TLedState after;
    } cases[] = {
        {"port detached, lamp switched on",
         [](TComLed& led, TComPort&) {
             led.SetComPort(nullptr);
             led.SetState(lsOn);
         },
         lsOn},
        {"watching CTS, which is on", [](TComLed& led, TComPort&) { led.SetLedSignal(lsCTS); },
         lsOn},
        {"moved to a closed port", [](TComLed& led, TComPort& other) { led.SetComPort(&other); },
         lsOff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LinePort p, other;
        p.line->SetCts(true);
        TComLed led;
        led.SetLedSignal(lsRing);
        led.SetRingDuration(300);
        led.SetComPort(p.port.get());
        p.port->Open();
        p.line->SetRing(true);
        p.line->SetRing(false);
        ASSERT_TRUE(PumpQt([&] { return led.State() == lsOn; }));

        c.change(led, *other.port);
        EXPECT_EQ(led.RingRemaining(), -1);
        PumpQtFor(500ms);
        EXPECT_EQ(led.State(), c.after);
    }
}

TEST_F(ComLedTest, DrawsTheGlyphCentredOrAtTheTopLeftUnlitWhileDisabled) {
    struct PaintCase {
        QSize size;
        TLedKind kind;
        TLedState state;
        bool enabled;
        QPoint at;
        TLedState shown;
    };
    const PaintCase cases[] = {
        {{25, 25}, lkRedLight, lsOn, true, {5, 5}, lsOn},
        {{25, 25}, lkRedLight, lsOff, true, {5, 5}, lsOff},
        {{25, 25}, lkGreenLight, lsOn, false, {5, 5}, lsOff},
        {{40, 20}, lkBulb, lsOn, true, {12, 2}, lsOn},
        {{16, 16}, lkYellowLight, lsOn, true, {0, 0}, lsOn},
        {{10, 30}, lkBlueLight, lsOff, true, {0, 7}, lsOff},
        {{8, 8}, lkPurpleLight, lsOn, false, {0, 0}, lsOff},
    };
    for (const PaintCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size.width() << "x" << c.size.height() << " kind "
                                        << int(c.kind) << " state " << int(c.state));
        TComLed led;
        led.resize(c.size);
        led.SetKind(c.kind);
        led.SetState(c.state);
        led.setEnabled(c.enabled);
        const QPixmap glyph(LedGlyphResource(c.kind, c.shown), "XPM");
        EXPECT_EQ(Rendered(led), Expected(c.size, TransparentGlyph(glyph), c.at));
    }

    // Enabling shows the state again; the default kind's glyphs are loaded at the first paint.
    TComLed led;
    led.SetState(lsOn);
    led.setEnabled(false);
    const QImage disabled = Rendered(led);
    led.setEnabled(true);
    const QPixmap on(LedGlyphResource(lkRedLight, lsOn), "XPM");
    EXPECT_EQ(Rendered(led), Expected({25, 25}, TransparentGlyph(on), {5, 5}));
    EXPECT_NE(disabled, Rendered(led));
}

TEST_F(ComLedTest, CustomGlyphsOnlyForTheCustomKind) {
    // A 9 x 9 picture: a green square on a white background (the lower-left pixel's colour).
    QImage picture(9, 9, QImage::Format_RGB32);
    picture.fill(Qt::white);
    for (int y = 2; y < 7; ++y)
        for (int x = 2; x < 7; ++x)
            picture.setPixel(x, y, qRgb(0, 128, 0));
    const QPixmap custom = QPixmap::fromImage(picture);

    TComLed led;
    led.SetKind(lkBlueLight);
    const QImage blueOn = led.GlyphOn().toImage();
    ASSERT_FALSE(blueOn.isNull());
    led.SetGlyphOn(custom);
    EXPECT_EQ(led.GlyphOn().toImage(), blueOn) << "a built-in kind ignores custom glyphs";
    EXPECT_FALSE(led.StoredGlyph(0));
    EXPECT_FALSE(led.StoredGlyph(1));

    // Switching to custom keeps the blue pair until custom glyphs come.
    led.SetKind(lkCustom);
    EXPECT_EQ(led.GlyphOn().toImage(), blueOn);
    EXPECT_TRUE(led.StoredGlyph(0));
    EXPECT_TRUE(led.StoredGlyph(1));
    led.SetGlyphOn(custom);
    led.SetState(lsOn);
    const QImage shown = Rendered(led);
    EXPECT_EQ(shown.pixel(8, 8), Key) << "the custom background is not drawn";
    EXPECT_EQ(shown.pixel(12, 12), qRgb(0, 128, 0));
    EXPECT_EQ(led.GlyphOff().toImage(),
              TransparentGlyph(QPixmap(LedGlyphResource(lkBlueLight, lsOff), "XPM")).toImage());
    EXPECT_THROW(led.SetGlyph(2, custom), EListError);

    // A custom LED that never got glyphs draws nothing, and does not fail.
    TComLed bare;
    bare.SetKind(lkCustom);
    bare.SetState(lsOn);
    EXPECT_EQ(Rendered(bare), Expected({25, 25}, QPixmap(), {}));
}

// A lamp's change is painted within the port's callback, and nothing else of the program runs
// there: processing all pending messages inside a callback would run any handler re-entrantly.
TEST_F(ComLedTest, SignalChangePaintsAtOnceWithoutRunningOtherHandlers) {
    test::LinePort p;
    TComLed led;
    led.SetLedSignal(lsCTS);
    led.SetComPort(p.port.get());
    led.show();
    ASSERT_TRUE(PumpQt([&] { return led.windowHandle() && led.windowHandle()->isExposed(); }));
    PumpQtFor(50ms);

    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } counter;
    led.installEventFilter(&counter);

    bool otherHandlerRan = false;
    QMetaObject::invokeMethod(
        qApp, [&] { otherHandlerRan = true; }, Qt::QueuedConnection);
    p.port->SendSignalToLink(leCTS, true);
    EXPECT_EQ(led.State(), lsOn);
    EXPECT_GE(counter.paints, 1) << "the lamp was not painted within the callback";
    EXPECT_FALSE(otherHandlerRan) << "a pending handler ran inside the port's callback";
    EXPECT_TRUE(PumpQt([&] { return otherHandlerRan; }));
    led.removeEventFilter(&counter);
}

TEST_F(ComLedTest, LetsGoOfAPortThatIsDestroyedAndAPortForgetsADestroyedLed) {
    auto p = std::make_unique<test::LinePort>();
    TComLed led;
    Record(led);
    led.SetComPort(p->port.get());
    p->port->Open();
    {
        TComLed shortLived;
        shortLived.SetComPort(p->port.get());
        EXPECT_EQ(p->port->LinkCount(), 2);
    }
    EXPECT_EQ(p->port->LinkCount(), 1);
    p.reset(); // closes (Conn off), then the removal detaches
    EXPECT_EQ(led.ComPort(), nullptr);
    EXPECT_EQ(led.State(), lsOff);
    led.SetState(lsOn); // a plain lamp again
    EXPECT_EQ(changes.back(), "1");
}

TEST_F(ComLedTest, ACallbackOnTheEventThreadReachesTheLampOnTheGuiThread) {
    test::LinePort p(smNone);
    TComLed led;
    led.SetLedSignal(lsCTS);
    QThread* changedOn = nullptr;
    led.OnChange = [&](TObject*, TLedState) { changedOn = QThread::currentThread(); };
    led.SetComPort(p.port.get());
    p.port->Open();
    p.line->SetCts(true);
    ASSERT_TRUE(PumpQt([&] { return led.State() == lsOn; }));
    EXPECT_EQ(changedOn, QThread::currentThread());
    p.port->Close();
}

} // namespace
} // namespace zv
