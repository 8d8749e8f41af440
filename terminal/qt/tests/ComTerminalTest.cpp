// The terminal widget offscreen: cell metrics and sizing, scroll ranges and page steps, the
// caret, painting, keys turned into bytes at the far end of a virtual line, answers to the peer,
// and the setup dialog.
#include "terminal/qt/ComTerminal.h"
#include "terminal/qt/TermSetup.h"

#include "cport/ComPort.h"
#include "cport/tests/PortTestSupport.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/tests/QtTestApp.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zv {
namespace {

using namespace std::chrono_literals;

const std::string ESC = "\x1B";

bool PumpQt(const std::function<bool()>& done,
            std::chrono::milliseconds patience = test::Patience) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > patience.count())
            return false;
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(5);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Reaches the protected parts the tests look at.
class Terminal : public TComTerminal {
public:
    using TComTerminal::TComTerminal;
    using TTermEngine::PutEscapeCode;

    void Focus(bool In) {
        QFocusEvent event(In ? QEvent::FocusIn : QEvent::FocusOut);
        QCoreApplication::sendEvent(this, &event);
    }
    void Key(int QtKey, const QString& Text = {}) {
        QKeyEvent event(QEvent::KeyPress, QtKey, Qt::NoModifier, Text);
        QCoreApplication::sendEvent(this, &event);
    }
};

class ComTerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::QtTestApp();
        if (!TCustomComTerminal::HasFixedPitch(QFontDatabase::systemFont(QFontDatabase::FixedFont)))
            GTEST_SKIP() << "this system has no fixed-pitch font";
    }
};

TEST_F(ComTerminalTest, FontIsFixedPitchAndCellsFollowIt) {
    Terminal term;
    // The default font's name does not exist here: the terminal ends on a fixed font.
    EXPECT_TRUE(TCustomComTerminal::HasFixedPitch(term.font()))
        << term.font().family().toStdString();
    const QFontMetrics metrics(term.font());
    // A cell is as wide as the letters of the font, whatever wider glyphs it holds elsewhere.
    EXPECT_EQ(term.CharWidth(), metrics.horizontalAdvance(QLatin1Char('M')));
    EXPECT_EQ(term.CharHeight(), metrics.height());

    // A proportional font is not kept; an underlined one loses the underline.
    QFont proportional(QStringLiteral("DejaVu Sans"), 20);
    ASSERT_FALSE(TCustomComTerminal::HasFixedPitch(proportional));
    term.SetTermFont(proportional);
    EXPECT_TRUE(TCustomComTerminal::HasFixedPitch(term.font()));
    EXPECT_EQ(term.CharHeight(), QFontMetrics(term.font()).height());
    QFont underlined = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    underlined.setUnderline(true);
    term.SetTermFont(underlined);
    EXPECT_FALSE(term.font().underline());
}

TEST_F(ComTerminalTest, AutoSizeFitsTheGridAndTheBorder) {
    struct Case {
        TTermBorderStyle border;
        bool ctl3D;
        int thickness;
    };
    const std::vector<Case> cases = {{bsSingle, true, 2}, {bsSingle, false, 1}, {bsNone, true, 0}};
    for (const auto& c : cases) {
        Terminal term;
        term.SetBorderStyle(c.border);
        term.SetCtl3D(c.ctl3D);
        term.SetAutoSize(true);
        EXPECT_EQ(term.width(), term.CharWidth() * 80 + 2 * c.thickness);
        EXPECT_EQ(term.height(), term.CharHeight() * 24 + 2 * c.thickness);
        term.SetColumns(40);
        term.SetRows(10);
        EXPECT_EQ(term.width(), term.CharWidth() * 40 + 2 * c.thickness);
        EXPECT_EQ(term.height(), term.CharHeight() * 10 + 2 * c.thickness);
        // All of the grid is shown: no bars.
        EXPECT_EQ(term.verticalScrollBar()->maximum(), 0);
        EXPECT_EQ(term.horizontalScrollBar()->maximum(), 0);
    }
}

TEST_F(ComTerminalTest, ScrollRangesAndPageSteps) {
    struct Case {
        const char* name;
        int rowsShown; // whole rows in the window
        int extra;     // pixels of a partly shown row
        int maximum;   // of the vertical range
        std::vector<int> topAfterPages;
    };
    const std::vector<Case> cases = {
        {"all 24 rows", 24, 0, 0, {1}},
        {"10 whole rows", 10, 3, 14, {11, 15}},
        {"23 rows and a part", 23, 5, 1, {2, 2}},
    };
    for (const auto& c : cases) {
        Terminal term;
        term.show(); // a hidden widget hears of its new size only when shown
        const int frame = 2 * term.frameWidth();
        const int bar = term.verticalScrollBar()->sizeHint().width();
        term.resize(80 * term.CharWidth() + frame + bar + 2,
                    c.rowsShown * term.CharHeight() + c.extra + frame);
        EXPECT_EQ(term.verticalScrollBar()->maximum(), c.maximum) << c.name;
        EXPECT_EQ(term.horizontalScrollBar()->maximum(), 0) << c.name;
        for (const int top : c.topAfterPages) {
            term.verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
            EXPECT_EQ(term.TopLeft().Y, top) << c.name;
        }
    }
    // Narrow: the horizontal range covers the columns not shown.
    Terminal narrow;
    narrow.show();
    narrow.resize(30 * narrow.CharWidth() + 2 * narrow.frameWidth(), 400 * narrow.CharHeight());
    const int columnsShown = narrow.viewport()->width() / narrow.CharWidth();
    EXPECT_EQ(narrow.horizontalScrollBar()->maximum(), 80 - columnsShown);
    narrow.horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(narrow.TopLeft().X, 2);
}

TEST_F(ComTerminalTest, DraggingMovesTheViewOnlyOnReleaseUnlessSmooth) {
    for (const bool smooth : {false, true}) {
        Terminal term;
        term.SetSmoothScroll(smooth);
        term.show();
        term.resize(80 * term.CharWidth() + 60, 10 * term.CharHeight());
        QScrollBar* bar = term.verticalScrollBar();
        bar->setSliderDown(true);
        bar->setSliderPosition(5);
        EXPECT_EQ(term.TopLeft().Y, smooth ? 6 : 1) << smooth;
        bar->setSliderDown(false);
        EXPECT_EQ(term.TopLeft().Y, 6) << smooth;
    }
}

TEST_F(ComTerminalTest, CaretSizeAndPlace) {
    struct Case {
        TTermCaret shape;
        int height; // in eighths of the cell height: 8 block, 1 underline
    };
    const std::vector<Case> cases = {{tcBlock, 8}, {tcUnderline, 1}, {tcNone, 0}};
    for (const auto& c : cases) {
        Terminal term;
        term.SetCaret(c.shape);
        term.WriteStr(ESC + "[3;5H");
        EXPECT_FALSE(term.CaretCreated()); // no focus, no caret
        term.Focus(true);
        const int height = term.CharHeight() * c.height / 8;
        EXPECT_EQ(term.CaretHeight(), height);
        EXPECT_EQ(term.CaretCreated(), height > 0);
        if (height > 0) {
            EXPECT_EQ(term.CaretRect(), QRect(4 * term.CharWidth(), 3 * term.CharHeight() - height,
                                              term.CharWidth(), height));
        }
        term.Focus(false);
        EXPECT_FALSE(term.CaretCreated());
        EXPECT_TRUE(term.CaretRect().isEmpty());
        // Writes while unfocused do not bring a caret back.
        term.WriteStr("abc");
        EXPECT_FALSE(term.CaretCreated());
    }
    // A change of shape while focused makes the new caret at once.
    Terminal term;
    term.Focus(true);
    term.SetCaret(tcUnderline);
    EXPECT_EQ(term.CaretHeight(), term.CharHeight() / 8);
}

TEST_F(ComTerminalTest, PaintingSkipsEmptyCellsAndDataPaintsOncePerTurn) {
    Terminal term;
    term.SetAutoSize(true);
    const QColor red(255, 0, 0);
    // Cell 1: empty but with a red background; cell 2: a character on red.
    term.Buffer().SetChar(1, 1, TComTermChar{0, 0xFFFFFF, 0x0000FF, false});
    term.Buffer().SetChar(2, 1, TComTermChar{'x', 0xFFFFFF, 0x0000FF, false});
    QImage image(term.viewport()->size(), QImage::Format_RGB32);
    image.fill(Qt::green);
    term.viewport()->render(&image);
    const int cw = term.CharWidth();
    const int ch = term.CharHeight();
    EXPECT_EQ(QColor(image.pixel(cw / 2, ch - 1)), QColor(Qt::black)); // background
    EXPECT_EQ(QColor(image.pixel(cw + 1, ch - 1)), red);

    // A flood of blocks within one turn of the event loop gives one repaint.
    struct Counter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* Event) override {
            if (Event->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } counter;
    term.show();
    PumpQt([] { return false; }, 100ms);
    term.viewport()->installEventFilter(&counter);
    for (int i = 0; i < 2000; ++i)
        term.WriteStr("line of text " + std::to_string(i) + "\r\n");
    EXPECT_EQ(counter.paints, 0); // nothing painted while the data came in
    PumpQt([] { return false; }, 100ms);
    EXPECT_EQ(counter.paints, 1);
    term.viewport()->removeEventFilter(&counter);
}

struct KeyCase {
    const char* name;
    bool appCursor;
    TArrowKeys arrows;
    bool sendLF;
    bool localEcho;
    int key;
    QString text;
    std::string sent;
};

TEST_F(ComTerminalTest, KeysReachTheFarEndOfTheLine) {
    const std::vector<KeyCase> cases = {
        {"letter", false, akTerminal, false, false, Qt::Key_A, "a", "a"},
        {"up, terminal keys", false, akTerminal, false, false, Qt::Key_Up, "", ESC + "[A"},
        {"home, terminal keys", false, akTerminal, false, false, Qt::Key_Home, "", ESC + "[H"},
        {"up, windows keys: nothing", false, akWindows, false, false, Qt::Key_Up, "", ""},
        {"up, application mode", true, akWindows, false, false, Qt::Key_Up, "", ESC + "OA"},
        {"left, application mode", true, akTerminal, false, false, Qt::Key_Left, "", ESC + "OD"},
        {"enter", false, akTerminal, false, false, Qt::Key_Return, "\r", "\r"},
        {"enter with SendLF and echo", false, akTerminal, true, true, Qt::Key_Return, "\r", "\r\n"},
        {"control-C", false, akTerminal, false, false, Qt::Key_C, "\x03", "\x03"},
        {"escape", false, akTerminal, false, false, Qt::Key_Escape, "\x1B", "\x1B"},
    };
    test::LinePort p;
    Terminal term;
    term.SetComPort(p.port.get());
    p.port->Open();
    for (const auto& c : cases) {
        term.WriteStr(ESC + (c.appCursor ? "[?1h" : "[?1l"));
        term.SetArrowKeys(c.arrows);
        term.SendLF = c.sendLF;
        term.LocalEcho = c.localEcho;
        term.ClearScreen();
        term.Key(c.key, c.text);
        // A marker after the key's bytes tells where they end.
        p.port->WriteStr("|");
        const std::string got = p.line->ReadString(c.sent.size() + 1, 2000ms);
        EXPECT_EQ(got, c.sent + "|") << c.name;
        if (c.localEcho) {
            EXPECT_EQ(term.CaretPos(), (TTermPoint{1, 2})) << c.name; // CR and LF echoed
        }
    }
    // The peer's queries are answered on the line.
    term.WriteStr(ESC + "[3;7H");
    p.line->Write(ESC + "[6n" + ESC + "[c" + ESC + "[5n");
    const std::string answers = ESC + "[3;7R" + ESC + "[?1;2c" + ESC + "[0n";
    std::string got;
    EXPECT_TRUE(PumpQt([&] {
        char chunk[64];
        got.append(chunk, p.line->TryRead(chunk, sizeof chunk));
        return got.size() >= answers.size();
    }));
    EXPECT_EQ(got, answers);
    // Received text reaches the screen.
    p.line->Write("\r\nhello");
    EXPECT_TRUE(PumpQt([&] { return term.Buffer().GetChar(5, 4).Ch == 'o'; }));
    p.port->Close();
    // Closed: typing sends nothing and shows nothing.
    term.LocalEcho = true;
    term.Key(Qt::Key_B, "b");
    EXPECT_EQ(term.Buffer().GetChar(6, 4).Ch, 0);
}

// A terminal on an open port whose line holds every write (CTS flow control, CTS off) past a
// 50 ms write time-out; what the application's exception handler is given is kept.
struct HeldLine {
    explicit HeldLine(TTermEmulation emulation = teVT100orANSI) {
        term.SetEmulation(emulation);
        term.SetComPort(p.port.get());
        p.port->FlowControl()->SetOutCTSFlow(true);
        p.port->Timeouts()->SetWriteTotalConstant(50);
        p.port->Open();
        p.line->SetCts(false);
        previous = SetApplicationExceptionHandler(
            [this](const std::exception& e) { reported.emplace_back(e.what()); });
    }
    ~HeldLine() {
        SetApplicationExceptionHandler(previous);
        p.port->Close();
    }

    test::LinePort p;
    Terminal term;
    std::vector<std::string> reported;
    TExceptionHandler previous;
};

// A key the line does not take within the port's write time-out (its flow control holding it)
// is reported, and not echoed as if it had gone.
TEST_F(ComTerminalTest, AKeyTheLineDoesNotTakeIsReportedAndNotEchoed) {
    HeldLine held;
    held.term.LocalEcho = true;
    held.term.Key(Qt::Key_A, "a");
    EXPECT_EQ(held.reported.size(), 1u);
    EXPECT_EQ(held.term.Buffer().GetChar(1, 1).Ch, 0) << "echoed as if it had gone";
}

// An answer to a query of the peer that the line does not take (flow control holding it past
// the write time-out) is reported once, and costs none of the text that came with the query.
TEST_F(ComTerminalTest, AnUnsentAnswerCostsNothingOfTheReceivedBlock) {
    const struct {
        const char* query;
        TTermEmulation emulation;
    } cases[] = {
        {"[6n", teVT100orANSI},
        {"[c", teVT100orANSI},
        {"[5n", teVT100orANSI},
        {"Z", teVT52},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        HeldLine held(c.emulation);
        held.p.line->Write(ESC + c.query + "hello");
        PumpQt([&] { return !held.reported.empty(); }, 2000ms);
        PumpQt([] { return false; }, 100ms);
        EXPECT_EQ(held.reported.size(), 1u);
        std::string shown;
        for (int x = 1; x <= 5; ++x)
            shown += static_cast<char>(held.term.Buffer().GetChar(x, 1).Ch);
        EXPECT_EQ(shown, "hello");
    }
}

// Automatic sizing fixes the control's size to its character grid; turned off, the size is
// free again.
TEST_F(ComTerminalTest, AutoSizeOffFreesTheSize) {
    const struct { int columns, rows; } grids[] = {{80, 24}, {132, 24}, {40, 10}};
    for (const auto& g : grids) {
        SCOPED_TRACE(std::to_string(g.columns) + "x" + std::to_string(g.rows));
        Terminal term;
        term.SetColumns(g.columns);
        term.SetRows(g.rows);
        term.SetAutoSize(true);
        term.SetAutoSize(false);
        term.resize(400, 250);
        EXPECT_EQ(term.size(), QSize(400, 250));
        EXPECT_EQ(term.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    }
}

TEST_F(ComTerminalTest, LetsGoOfADestroyedPort) {
    auto p = std::make_unique<test::LinePort>();
    Terminal term;
    term.SetComPort(p->port.get());
    EXPECT_EQ(p->port->LinkCount(), 1);
    p.reset();
    EXPECT_EQ(term.ComPort(), nullptr);
    term.Key(Qt::Key_A, "a"); // no port: nothing happens
}

TEST_F(ComTerminalTest, SetupDialog) {
    struct Case {
        const char* name;
        bool ok;
        QString columns;
        QString rows;
        int expectColumns;
        int expectRows;
    };
    const std::vector<Case> cases = {
        {"numbers", true, "100", "30", 100, 30},
        {"empty columns", true, "", "30", 80, 30},
        {"letters in both", true, "abc", "x1", 80, 24},
        {"out of range", true, "500", "1", 256, 2},
        {"too big for a number", true, "99999999999", "-3", 80, 2},
        {"cancel", false, "100", "30", 40, 10},
    };
    for (const auto& c : cases) {
        Terminal term;
        term.SetColumns(40);
        term.SetRows(10);
        SetModalRunner([&](QDialog& Dialog) {
            auto& form = dynamic_cast<TComTrmSetForm&>(Dialog);
            EXPECT_EQ(form.Edit1->text(), "40");
            EXPECT_EQ(form.Edit2->text(), "10");
            form.CheckBox1->setChecked(true);
            form.CheckBox4->setChecked(true);
            form.ComboBox1->setCurrentIndex(tcUnderline);
            form.ComboBox2->setCurrentIndex(teVT52);
            form.ComboBox3->setCurrentIndex(akWindows);
            form.Edit1->setText(c.columns);
            form.Edit2->setText(c.rows);
            return c.ok ? QDialog::Accepted : QDialog::Rejected;
        });
        term.ShowSetupDialog();
        SetModalRunner({});
        EXPECT_EQ(term.Columns(), c.expectColumns) << c.name;
        EXPECT_EQ(term.Rows(), c.expectRows) << c.name;
        EXPECT_EQ(term.LocalEcho, c.ok) << c.name;
        EXPECT_EQ(term.Force7Bit, c.ok) << c.name;
        EXPECT_FALSE(term.SendLF) << c.name;
        EXPECT_EQ(term.Caret(), c.ok ? tcUnderline : tcBlock) << c.name;
        EXPECT_EQ(term.Emulation(), c.ok ? teVT52 : teVT100orANSI) << c.name;
        EXPECT_EQ(term.ArrowKeys(), c.ok ? akWindows : akTerminal) << c.name;
    }

    // A terminal without a caret opens with no caret item and keeps tcNone on OK; OK without
    // changes keeps the screen (the size setters ignore equal values).
    Terminal term;
    term.SetCaret(tcNone);
    term.WriteStr("kept");
    SetModalRunner([](QDialog& Dialog) {
        EXPECT_EQ(dynamic_cast<TComTrmSetForm&>(Dialog).ComboBox1->currentIndex(), -1);
        return QDialog::Accepted;
    });
    EditComTerminal(&term);
    SetModalRunner({});
    EXPECT_EQ(term.Caret(), tcNone);
    EXPECT_EQ(term.Buffer().GetChar(1, 1).Ch, 'k');
}

} // namespace
} // namespace zv
