// Zelvator's windows driven without a user: dialogs and message boxes go through the modal
// door, downloads go to a simulated board or a virtual line.
#include "app/gui/Hw.h"
#include "app/gui/Main.h"
#include "cport/ComPort.h"
#include "cportui/ComComboBox.h"
#include "cportui/ComSetup.h"
#include "platform/VirtualLine.h"
#include "simboard/SimBoard.h"
#include "toolkit/Strings.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/tests/QtTestApp.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace zv {
namespace {

TQtApplication& App() {
    return test::QtTestApp();
}

// Intel HEX text with data records covering [0, size), 16 bytes per record, byte i = i * 7 + 3,
// and the end-of-file record; `badChecksumLine` (1-based, 0 for none) gets a wrong checksum.
std::string HexText(std::uint32_t size, unsigned badChecksumLine = 0) {
    std::string text;
    unsigned line = 0;
    char buf[32];
    for (std::uint32_t address = 0; address < size; address += 16) {
        const std::uint32_t count = std::min<std::uint32_t>(16, size - address);
        unsigned sum = count + (address >> 8) + (address & 0xFF);
        std::snprintf(buf, sizeof buf, ":%02X%04X00", count, address);
        text += buf;
        for (std::uint32_t i = 0; i < count; ++i) {
            const unsigned value = ((address + i) * 7 + 3) & 0xFF;
            sum += value;
            std::snprintf(buf, sizeof buf, "%02X", value);
            text += buf;
        }
        unsigned checksum = (0x100 - (sum & 0xFF)) & 0xFF;
        if (++line == badChecksumLine)
            checksum ^= 0x55;
        std::snprintf(buf, sizeof buf, "%02X\r\n", checksum);
        text += buf;
    }
    return text + ":00000001FF\r\n";
}

std::vector<std::uint8_t> ImageBytes(std::uint32_t size, std::size_t sent) {
    std::vector<std::uint8_t> bytes(sent, 0);
    for (std::uint32_t a = 0; a < size; ++a)
        bytes[a] = static_cast<std::uint8_t>((a * 7 + 3) & 0xFF);
    return bytes;
}

// Every text panel 0 shows while it is painted, in order without repeats.
class TPaintRecorder : public QObject {
public:
    explicit TPaintRecorder(QLabel* Panel) : FPanel(Panel) { Panel->installEventFilter(this); }
    std::vector<std::string> Shown;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == FPanel && event->type() == QEvent::Paint) {
            const std::string text = FPanel->text().toStdString();
            if (Shown.empty() || Shown.back() != text)
                Shown.push_back(text);
        }
        return false;
    }

private:
    QLabel* FPanel;
};

struct TBox {
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ASSERT_TRUE(dir.isValid());
        // Each test's remembered port lives in a folder of its own, never the user's.
        ::setenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config")).constData(), 1);
        SetModalRunner([this](QDialog& dialog) { return Answer(dialog); });
        SetApplicationExceptionHandler(
            [this](const std::exception& e) { exceptions.emplace_back(e.what()); });
        form = std::make_unique<TForm1>(&about);
        Show(*form);
    }
    void TearDown() override {
        form.reset();
        SetModalRunner(nullptr);
        SetApplicationExceptionHandler(ShowExceptionMessage);
    }

    // What the modal door does with each dialog.
    int Answer(QDialog& dialog) {
        if (auto* box = qobject_cast<QMessageBox*>(&dialog)) {
            boxes.push_back({box->text(), box->windowTitle(), box->icon()});
            return QMessageBox::Ok;
        }
        if (auto* files = qobject_cast<QFileDialog*>(&dialog)) {
            if (fileToChoose.isEmpty())
                return QDialog::Rejected;
            files->selectFile(fileToChoose);
            return QDialog::Accepted;
        }
        if (qobject_cast<TForm2*>(&dialog)) {
            ++aboutShown;
            return QDialog::Rejected;
        }
        if (auto* setup = qobject_cast<TComSetupFrm*>(&dialog))
            return onSetup ? onSetup(*setup) : int(QDialog::Rejected);
        ADD_FAILURE() << "unexpected dialog " << dialog.metaObject()->className();
        return QDialog::Rejected;
    }

    static void Show(TForm1& window) {
        window.show();
        // Repaints reach the panels only once the window is on the (offscreen) screen.
        for (int i = 0; i < 100 && !(window.windowHandle() && window.windowHandle()->isExposed());
             ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::processEvents();
    }
    // The configuration folder of this test and its zelvator.ini.
    std::string ConfigFolder() const { return dir.filePath("config/zelvator").toStdString(); }
    std::string SettingsFile() const { return ConfigFolder() + "/zelvator.ini"; }

    QString WriteFile(const char* name, const std::string& content) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        std::ofstream(path.toStdString(), std::ios::binary) << content;
        return path;
    }
    void ChooseFile(const QString& path) {
        fileToChoose = path;
        form->ToolButton1Click();
    }
    // The window (and its port) goes before the line it talks to, as in the program, where the
    // device outlives the port.
    void CloseWindow() { form.reset(); }
    QLabel* Panel(int index) const { return form->StatusBar1->findChildren<QLabel*>().at(index); }

    TQtApplication& app = App(); // before any widget
    QTemporaryDir dir;
    TForm2 about;
    std::unique_ptr<TForm1> form;
    QString fileToChoose;
    std::vector<TBox> boxes;
    std::vector<std::string> exceptions;
    int aboutShown = 0;
    std::function<int(TComSetupFrm&)> onSetup;
};

TEST_F(MainWindowTest, StartsWithTheDesignedWindowAndPort) {
    EXPECT_EQ(form->windowTitle(), "Zelvator");
    EXPECT_EQ(form->PanelText(0), "Open File !");
    EXPECT_EQ(form->PanelText(1), "Name");
    EXPECT_EQ(form->PanelText(2), "????");
    // The design's widths at least, more where a text needs it in the font in use.
    EXPECT_GE(Panel(0)->width(), 70);
    EXPECT_GE(Panel(1)->width(), 85);
    EXPECT_GE(Panel(2)->width(), 50);

    struct ButtonCase {
        QAction* action;
        const char* hint;
        bool enabled;
    };
    const ButtonCase buttons[] = {
        {form->ToolButton1, "Open File", true},
        {form->ToolButton3, "Setup COM", true},
        {form->ToolButton4, "Help - About", true},
        {form->ToolButton5, "Help - About", true},
        {form->ToolButton6, "Reset", true},
        {form->ToolButton8, "Write Program to Sim", false},
    };
    for (const ButtonCase& b : buttons) {
        EXPECT_EQ(b.action->toolTip(), b.hint);
        EXPECT_EQ(b.action->isEnabled(), b.enabled) << b.hint;
        EXPECT_FALSE(b.action->icon().pixmap(16, 16).isNull()) << b.hint << ": image missing";
    }
    // Left to right as designed, with the two gaps.
    const QList<QAction*> order = form->ToolBar1->actions();
    const QList<QAction*> expected = {form->ToolButton1, form->ToolButton2, form->ToolButton3,
                                      form->ToolButton4, form->ToolButton5, form->ToolButton6,
                                      form->ToolButton7, form->ToolButton8};
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(form->ToolButton2->icon().isNull());
    EXPECT_EQ(form->ToolBar1->widgetForAction(form->ToolButton2)->width(), 18);
    EXPECT_EQ(form->ToolBar1->widgetForAction(form->ToolButton7)->width(), 28);

    TComPort& port = *form->ComPort1;
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(port.Loading());
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Parity()->Bits(), prNone);
    EXPECT_EQ(port.Events(), AllComEvents);
    EXPECT_EQ(port.Buffer()->OutputSize(), 34000);
    EXPECT_EQ(port.FlowControl()->ControlDTR(), dtrDisable);
    EXPECT_EQ(port.FlowControl()->ControlRTS(), rtsDisable);
    EXPECT_EQ(port.FlowControl()->GetFlowControl(), fcNone);
    // No stored port: nothing to say, nothing written.
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
}

TEST_F(MainWindowTest, EveryPanelTextFitsItsPanel) {
    // A wider font than the platform's default, as a user's desktop may have: the application's
    // font, which the desktop sets (a window's own font does not pass the status bar's style).
    const QFont platformFont = QApplication::font();
    QFont font = platformFont;
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 1.5);
    else
        font.setPixelSize(font.pixelSize() * 3 / 2);
    int advances[2] = {};
    int round = 0;
    for (const auto& f : {platformFont, font}) {
        QApplication::setFont(f);
        TForm1 window(&about);
        window.show();
        QCoreApplication::processEvents();
        const struct {
            int panel;
            std::vector<QString> texts;
        } cases[] = {
            {0,
             {"Open File !", "File is Set", "Read File", "File is Redy", "File Transfer", "RUN"}},
            {1, {"Name"}},
            {2, {"????", "0", "33000"}},
        };
        QLabel* panels[3] = {};
        for (int i = 0; i < 3; ++i)
            panels[i] = window.StatusBar1->findChildren<QLabel*>().at(i);
        for (const auto& c : cases) {
            for (const QString& text : c.texts) {
                SCOPED_TRACE(text.toStdString());
                window.SetPanelText(c.panel, text);
                QLabel* label = panels[c.panel];
                EXPECT_GE(label->width(), label->sizeHint().width());
                EXPECT_GE(label->contentsRect().width(),
                          QFontMetrics(label->font()).horizontalAdvance(text));
            }
        }
        // Side by side, no overlap.
        EXPECT_EQ(panels[1]->x(), panels[0]->x() + panels[0]->width());
        EXPECT_EQ(panels[2]->x(), panels[1]->x() + panels[1]->width());
        advances[round++] = QFontMetrics(panels[0]->font()).horizontalAdvance("File Transfer");
    }
    QApplication::setFont(platformFont);
    EXPECT_GT(advances[1], advances[0]) << "the larger font did not reach the panels";
}

TEST_F(MainWindowTest, OpenFileEnablesWriteOnlyWhenConfirmed) {
    form->ToolButton1Click(); // cancelled
    EXPECT_FALSE(form->ToolButton8->isEnabled());
    EXPECT_EQ(form->PanelText(0), "Open File !");

    const QString path = WriteFile("prog.ihx", HexText(16));
    ChooseFile(path);
    EXPECT_TRUE(form->ToolButton8->isEnabled());
    EXPECT_EQ(form->PanelText(0), "File is Set");
    EXPECT_EQ(QString::fromStdString(form->FileName()), path);

    // Cancelling later changes nothing; Write stays available.
    fileToChoose.clear();
    form->ToolButton1Click();
    EXPECT_TRUE(form->ToolButton8->isEnabled());
    EXPECT_EQ(QString::fromStdString(form->FileName()), path);
}

TEST(OpenDialogFilter, PairsDescriptionsWithTheirPatterns) {
    App();
    const QStringList filters = NameFiltersFromFilterString(OpenDialogFilter);
    EXPECT_EQ(filters,
              QStringList({"*.HEX (*.ihx *.hex)", "*.ihx (*.ihx)", "*.BIN (*.bin)", "All (*.*)"}));
    TForm1 form(nullptr);
    EXPECT_EQ(form.OpenDialog1->nameFilters(), filters);

    struct MatchCase {
        int filter;
        const char* name;
        bool matches;
    };
    const MatchCase cases[] = {
        {0, "blink.ihx", true},  {0, "BLINK.IHX", true}, {0, "hello.HEX", true},
        {0, "hello.bin", false}, {1, "a.ihx", true},     {1, "A.Ihx", true},
        {1, "a.hex", false},     {1, "a.bin", false},    {2, "rom.BIN", true},
        {2, "rom.ihx", false},   {3, "notes.txt", true},
    };
    for (const MatchCase& c : cases)
        EXPECT_EQ(NameFilterMatches(filters[c.filter], QString::fromLatin1(c.name)), c.matches)
            << filters[c.filter].toStdString() << " / " << c.name;
}

TEST_F(MainWindowTest, PortErrorIsShownAndPanelZeroKeepsItsText) {
    ChooseFile(WriteFile("prog.hex", HexText(32)));
    form->ComPort1->SetPort("ZVNOSUCHPORT");
    // Triggered from the event loop, as a click is: the exception reaches the standard display.
    QMetaObject::invokeMethod(form->ToolButton8, "trigger", Qt::QueuedConnection);
    QCoreApplication::processEvents();
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_EQ(exceptions[0].rfind("Unable to open com port", 0), 0u) << exceptions[0];
    EXPECT_NE(exceptions[0].find("(win error code: "), std::string::npos);
    EXPECT_EQ(form->PanelText(0), "File is Set");
    EXPECT_EQ(form->PanelText(2), "????");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainWindowTest, ResetBeforeAnyDownloadReportsTheLineControlError) {
    try {
        form->ToolButton6Click();
        FAIL() << "Reset on a port never opened must fail";
    } catch (const EComPort& e) {
        EXPECT_EQ(std::string(e.what()).rfind("EscapeCommFunction function failed", 0), 0u)
            << e.what();
    }
    EXPECT_EQ(form->PanelText(0), "Open File !");
}

TEST_F(MainWindowTest, FileThatCannotBeOpenedEndsTheCommand) {
    auto line = VirtualLine::Create("ZVGUI1");
    form->ComPort1->SetPort("ZVGUI1");
    const QString path = WriteFile("gone.hex", HexText(16));
    ChooseFile(path);
    QFile::remove(path);

    form->ToolButton8Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Soubor nelze otevrit");
    EXPECT_EQ(boxes[0].caption, "Chyba otevreni souboru");
    EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(form->PanelText(0), "File is Set");
    EXPECT_EQ(form->PanelText(2), "????");
    // The port was opened into its idle state and nothing else happened on the line.
    EXPECT_TRUE(line->IsOpen());
    EXPECT_TRUE(line->Rts());
    EXPECT_FALSE(line->Dtr());
    EXPECT_EQ(line->Available(), 0u);
    CloseWindow();
}

TEST_F(MainWindowTest, UnusableFileIsRefusedNamingTheFirstBadLine) {
    auto line = VirtualLine::Create("ZVGUI2");
    form->ComPort1->SetPort("ZVGUI2");
    ChooseFile(WriteFile("bad.hex", HexText(64, 3)));
    // Opened beforehand, so that what the platform does to the lines at open is not counted.
    form->ComPort1->Open();
    EXPECT_TRUE(line->Rts()) << "ComPortOpen leaves RTS on";
    line->TakeChanges();

    form->ToolButton8Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.indexOf("line 3"), -1) << boxes[0].text.toStdString();
    EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(form->PanelText(0), "File is Set");
    EXPECT_EQ(form->PanelText(2), "????");
    EXPECT_EQ(line->Available(), 0u);
    EXPECT_FALSE(line->Dtr());
    bool dtrPulsed = false;
    for (const LineChange& change : line->TakeChanges())
        if (change.signal == LineSignal::Dtr && change.level)
            dtrPulsed = true;
    EXPECT_FALSE(dtrPulsed) << "a refused file must not move the board's reset line";
    CloseWindow();
}

TEST_F(MainWindowTest, AFileWithoutRecordsIsNoProgram) {
    auto line = VirtualLine::Create("ZVGUI3");
    form->ComPort1->SetPort("ZVGUI3");
    form->ComPort1->Open();
    line->TakeChanges();
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"prog.bin", std::string("\x02\x00\x06\x75\x81\x07\x80\xFE", 8)},
        {"notes.hex", "written by hand\r\n"},
        {"empty.ihx", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        ChooseFile(WriteFile(c.name, c.content));
        form->ToolButton8Click();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_NE(boxes[0].text.indexOf("not an Intel HEX file"), -1)
            << boxes[0].text.toStdString();
        EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
        EXPECT_EQ(form->PanelText(0), "File is Set");
        EXPECT_EQ(form->PanelText(2), "????");
    }
    EXPECT_EQ(line->Available(), 0u) << "nothing was sent";
    EXPECT_TRUE(line->TakeChanges().empty()) << "the board's lines were not moved";
    CloseWindow();
}

TEST_F(MainWindowTest, DownloadsToTheSimulatedBoardTwiceOnOneOpen) {
    TSimBoardOptions options;
    options.PortName = "ZVGUISIM";
    options.Pacing = false;
    TSimBoard board(options);
    form->ComPort1->SetPort("ZVGUISIM");
    ChooseFile(WriteFile("prog.ihx", HexText(0x800)));
    // The first download opens the port; the board's record starts after the open.
    form->ComPort1->Open();
    board.ClearTranscript();
    TPaintRecorder painted(Panel(0));

    form->ToolButton8Click();
    EXPECT_EQ(painted.Shown, (std::vector<std::string>{"File is Redy", "File Transfer", "RUN"}));
    EXPECT_EQ(form->PanelText(2), "2048");
    form->ToolButton8Click();
    EXPECT_EQ(form->PanelText(0), "RUN");
    EXPECT_TRUE(form->ComPort1->Connected());
    EXPECT_TRUE(boxes.empty());

    const TBoardState state = board.State();
    EXPECT_EQ(state.Loads, 2u);
    EXPECT_EQ(state.Runs, 2u);
    EXPECT_EQ(state.Mode, bmRunning);
    ASSERT_EQ(state.Loaded, 2049u) << "ImageEnd + 1 bytes";
    const std::vector<std::uint8_t> expected = ImageBytes(0x800, 2049);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), state.Memory.begin()));
    int opens = 0;
    for (const TBoardEvent& e : board.Transcript().Events)
        opens += e.Kind == beOpen ? 1 : 0;
    EXPECT_EQ(opens, 0) << "a download does not reopen an open port";
    CloseWindow();
}

TEST_F(MainWindowTest, ResetAfterADownloadPulsesDtrOnly) {
    auto line = VirtualLine::Create("ZVGUI3");
    form->ComPort1->SetPort("ZVGUI3");
    ChooseFile(WriteFile("eof.hex", ":00000001FF\r\n"));
    form->ToolButton8Click();
    EXPECT_EQ(form->PanelText(2), "0");
    EXPECT_EQ(line->ReadString(1, std::chrono::milliseconds(5000)).size(), 1u)
        << "an image end of 0 sends one byte";
    line->TakeChanges();

    form->ToolButton6Click();
    std::vector<std::pair<LineSignal, bool>> changes;
    for (const LineChange& change : line->TakeChanges())
        changes.emplace_back(change.signal, change.level);
    EXPECT_EQ(changes, (std::vector<std::pair<LineSignal, bool>>{{LineSignal::Dtr, true},
                                                                 {LineSignal::Dtr, false}}));
    EXPECT_TRUE(line->Rts());
    CloseWindow();
}

TEST_F(MainWindowTest, AboutButtonsShowTheAboutWindow) {
    form->ToolButton4Click();
    form->ToolButton5Click();
    EXPECT_EQ(aboutShown, 2);
    EXPECT_EQ(about.windowTitle(), "Zelvator - About");
    const QString text = about.Memo1->toPlainText();
    EXPECT_NE(text.indexOf(QString::fromUtf8("bez jakékoli záruky")), -1);
    EXPECT_NE(text.indexOf(QString::fromUtf8("autor projektu Zelvator")), -1);
    EXPECT_EQ(text.indexOf(QStringLiteral("http")), -1);
    EXPECT_EQ(text.indexOf(QStringLiteral("www")), -1);
    EXPECT_FALSE(about.Memo1->isReadOnly());
}

TEST_F(MainWindowTest, SetupComEditsComPort1) {
    onSetup = [](TComSetupFrm& setup) {
        const int index = setup.Combo2->Items().IndexOf("19200");
        setup.Combo2->setCurrentIndex(index);
        Q_EMIT setup.Combo2->activated(index);
        return int(QDialog::Accepted);
    };
    form->ToolButton3Click();
    EXPECT_EQ(form->ComPort1->BaudRate(), br19200);
    EXPECT_EQ(form->ComPort1->Port(), "COM1");
}

// Picks the item `text` of a setup dialog's selector as a user would.
void Choose(TComComboBox* combo, const char* text) {
    const int index = combo->Items().IndexOf(text);
    ASSERT_GE(index, 0) << text << " is not offered";
    combo->setCurrentIndex(index);
    Q_EMIT combo->activated(index);
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A setup the open device refuses is reported; the port keeps the settings in force, nothing is
// remembered, and the board's lines stay where the download left them.
TEST_F(MainWindowTest, ASetupTheDeviceRefusesLeavesThePortAsItWas) {
    auto line = VirtualLine::Create("ZVGUI5");
    form->ComPort1->SetPort("ZVGUI5");
    ChooseFile(WriteFile("eof.hex", ":00000001FF\r\n"));
    form->ToolButton8Click();
    ASSERT_EQ(line->ReadString(1, std::chrono::milliseconds(5000)).size(), 1u);
    ASSERT_TRUE(line->Rts());
    onSetup = [](TComSetupFrm& setup) {
        Choose(setup.Combo2, "19200");
        Choose(setup.Combo4, "1.5"); // refused with eight data bits
        return int(QDialog::Accepted);
    };
    QMetaObject::invokeMethod(form->ToolButton3, "trigger", Qt::QueuedConnection);
    QCoreApplication::processEvents();
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_EQ(form->ComPort1->StopBits(), sbOneStopBit);
    EXPECT_EQ(form->ComPort1->BaudRate(), br9600);
    EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
    EXPECT_TRUE(line->Rts());
    EXPECT_FALSE(line->Dtr());
    CloseWindow();
}

// A setup the board protocol cannot run on is refused whether the port is open or not (a closed
// port takes any frame without a word, and the next download would fail): reported, nothing
// remembered, the settings in force kept, and the next download goes through.
TEST_F(MainWindowTest, ASetupTheBoardCannotRunOnIsRefusedOpenOrClosed) {
    const struct {
        const char* what;
        bool open;
        const char* data; // choices besides 19200 baud, nullptr to leave one alone
        const char* stop;
        const char* flow;
        const char* problem;
    } cases[] = {
        {"1.5 stop bits with 8 data bits", false, nullptr, "1.5", nullptr,
         "StopBits=1.5 cannot be used with DataBits=8"},
        {"2 stop bits with 5 data bits", false, "5", "2", nullptr,
         "StopBits=2 cannot be used with DataBits=5"},
        {"the handshake on RTS, closed", false, nullptr, nullptr, "Hardware",
         "FlowControl=Hardware lets the driver drive RTS"},
        {"the handshake on RTS, open", true, nullptr, nullptr, "Hardware",
         "FlowControl=Hardware lets the driver drive RTS"},
    };
    auto line = VirtualLine::Create("ZVGUI8");
    form->ComPort1->SetPort("ZVGUI8");
    ChooseFile(WriteFile("eof.hex", ":00000001FF\r\n"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.open && !form->ComPort1->Connected()) {
            form->ToolButton8Click();
            ASSERT_EQ(line->ReadString(1, std::chrono::milliseconds(5000)).size(), 1u);
        }
        exceptions.clear();
        onSetup = [&](TComSetupFrm& setup) {
            Choose(setup.Combo2, "19200");
            if (c.data)
                Choose(setup.Combo3, c.data);
            if (c.stop)
                Choose(setup.Combo4, c.stop);
            if (c.flow)
                Choose(setup.Combo6, c.flow);
            return int(QDialog::Accepted);
        };
        QMetaObject::invokeMethod(form->ToolButton3, "trigger", Qt::QueuedConnection);
        QCoreApplication::processEvents();
        ASSERT_EQ(exceptions.size(), 1u);
        EXPECT_NE(exceptions[0].find(c.problem), std::string::npos) << exceptions[0];
        const TComPort& port = *form->ComPort1;
        EXPECT_EQ(port.Connected(), c.open);
        EXPECT_EQ(port.BaudRate(), br9600);
        EXPECT_EQ(port.DataBits(), dbEight);
        EXPECT_EQ(port.StopBits(), sbOneStopBit);
        EXPECT_EQ(port.FlowControl()->ControlRTS(), rtsDisable);
        EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
    }
    exceptions.clear();
    form->ToolButton8Click();
    EXPECT_EQ(line->ReadString(1, std::chrono::milliseconds(5000)).size(), 1u);
    EXPECT_TRUE(exceptions.empty());
    CloseWindow();
}

// A setup that moves the open port to another device, which cannot be opened or refuses the new
// line settings, takes the port back to the first device with the settings it ran before: still
// open and usable.
TEST_F(MainWindowTest, ASetupAnotherDeviceRefusesTakesThePortBackOpen) {
    const struct {
        const char* name;
        bool busy;        // the other device is open in another port, so it cannot be opened
        const char* stop; // stop bits chosen with it, nullptr for none
    } cases[] = {
        {"its settings refused", false, "1.5"}, // refused with eight data bits
        {"it cannot be opened", true, nullptr},
    };
    auto first = VirtualLine::Create("ZVGUI6A");
    auto second = VirtualLine::Create("ZVGUI6B");
    form->ComPort1->SetPort("ZVGUI6A");
    ChooseFile(WriteFile("eof.hex", ":00000001FF\r\n"));
    form->ToolButton8Click();
    ASSERT_EQ(first->ReadString(1, std::chrono::milliseconds(5000)).size(), 1u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        exceptions.clear();
        TComPort holder;
        holder.SetPort("ZVGUI6B");
        if (c.busy)
            holder.Open();
        onSetup = [&](TComSetupFrm& setup) {
            Choose(setup.Combo1, "ZVGUI6B");
            if (c.stop)
                Choose(setup.Combo4, c.stop);
            return int(QDialog::Accepted);
        };
        QMetaObject::invokeMethod(form->ToolButton3, "trigger", Qt::QueuedConnection);
        QCoreApplication::processEvents();
        EXPECT_EQ(exceptions.size(), 1u);
        EXPECT_EQ(form->ComPort1->Port(), "ZVGUI6A");
        EXPECT_EQ(form->ComPort1->StopBits(), sbOneStopBit);
        EXPECT_TRUE(form->ComPort1->Connected());
        EXPECT_TRUE(first->IsOpen());
        EXPECT_EQ(second->IsOpen(), c.busy);

        form->ToolButton8Click();
        EXPECT_EQ(first->ReadString(1, std::chrono::milliseconds(5000)).size(), 1u);
        EXPECT_EQ(exceptions.size(), 1u);
    }
    EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
    CloseWindow();
}

// A command that fails because the device went away lets go of it: once the device is back, the
// next command opens it afresh and works.
TEST_F(MainWindowTest, ADeviceThatCameBackIsUsedAgain) {
    const struct {
        const char* name;
        void (TForm1::*command)();
    } cases[] = {
        {"download", &TForm1::ToolButton8Click},
        {"reset", &TForm1::ToolButton6Click},
        {"setup", &TForm1::ToolButton3Click},
    };
    auto line = VirtualLine::Create("ZVGUI7");
    form->ComPort1->SetPort("ZVGUI7");
    ChooseFile(WriteFile("eof.hex", ":00000001FF\r\n"));
    form->ToolButton8Click();
    ASSERT_EQ(line->ReadString(1, std::chrono::milliseconds(5000)).size(), 1u);
    onSetup = [](TComSetupFrm& setup) {
        Choose(setup.Combo2, "19200");
        return int(QDialog::Accepted);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        line->Unplug();
        try {
            (form.get()->*c.command)();
            ADD_FAILURE() << "a command on a device that is gone must fail";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.OsErrorCode(), ERROR_DEVICE_NOT_CONNECTED) << e.what();
        }
        line->Plug();
        EXPECT_NO_THROW(form->ToolButton8Click());
        EXPECT_EQ(line->ReadString(1, std::chrono::milliseconds(5000)).size(), 1u);
    }
    CloseWindow();
}

TEST_F(MainWindowTest, OnlyAConfirmedSetupIsRememberedForTheNextStart) {
    auto line = VirtualLine::Create("ZVGUISET");
    const struct {
        int answer;
        bool stored;
    } cases[] = {{QDialog::Rejected, false}, {QDialog::Accepted, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? "OK" : "Cancel");
        onSetup = [&](TComSetupFrm& setup) {
            Choose(setup.Combo1, "ZVGUISET");
            Choose(setup.Combo2, "19200");
            Choose(setup.Combo5, "Even");
            return c.answer;
        };
        form->ToolButton3Click();
        EXPECT_EQ(std::filesystem::exists(SettingsFile()), c.stored);

        TForm1 next(&about);
        Show(next);
        const TComPort& port = *next.ComPort1;
        EXPECT_EQ(port.Port(), c.stored ? "ZVGUISET" : "COM1");
        EXPECT_EQ(port.BaudRate(), c.stored ? br19200 : br9600);
        EXPECT_EQ(port.Parity()->Bits(), c.stored ? prEven : prNone);
        // What the board's protocol needs is the window's own, not the file's.
        EXPECT_EQ(port.FlowControl()->ControlDTR(), dtrDisable);
        EXPECT_EQ(port.Events(), AllComEvents);
        EXPECT_TRUE(boxes.empty());
    }
    EXPECT_EQ(ReadText(SettingsFile()), "[ComPort1]\nPort=ZVGUISET\nBaudRate=19200\nStopBits=1\n"
                                        "DataBits=8\nParity=Even\nFlowControl=None\n");
}

TEST_F(MainWindowTest, AStoredPortThatCannotBeUsedLeavesTheDesignedOneAndSaysSo) {
    const struct {
        std::string content;
        const char* problem;
    } cases[] = {
        {std::string("\x01\xfe[\x80\0Port=ZV\n", 13), "holds no [ComPort1] section"},
        {"[ComPort1]\nPort=ZVGUIX\nBaudRate=fast\n", "BaudRate=fast"},
        {"[ComPort1]\nPort=\n", "Port= names no port"},
    };
    std::filesystem::create_directories(ConfigFolder());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        std::ofstream(SettingsFile(), std::ios::binary) << c.content;
        boxes.clear();
        TForm1 next(&about);
        Show(next);
        EXPECT_EQ(next.ComPort1->Port(), "COM1");
        EXPECT_EQ(next.ComPort1->BaudRate(), br9600);
        ASSERT_EQ(boxes.size(), 1u) << "said once the window is shown";
        const std::string text = boxes[0].text.toStdString();
        EXPECT_NE(text.find(SettingsFile() + ": "), std::string::npos) << text;
        EXPECT_NE(text.find(c.problem), std::string::npos) << text;
        EXPECT_NE(text.find("COM1 at 9600 baud"), std::string::npos) << text;
        EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
        EXPECT_EQ(boxes[0].caption, "Zelvator");
    }
}

// A port server's name is no item of the device list: the window still takes it from the file,
// and a setup that changes only the speed keeps it.
TEST_F(MainWindowTest, ANetworkPortFromTheFileIsKeptThroughASetup) {
    const std::string name = "rfc2217://127.0.0.1:9";
    std::filesystem::create_directories(ConfigFolder());
    std::ofstream(SettingsFile()) << "[ComPort1]\nPort=" << name << "\n";
    TForm1 next(&about);
    Show(next);
    EXPECT_EQ(next.ComPort1->Port(), name);
    EXPECT_TRUE(boxes.empty());
    onSetup = [](TComSetupFrm& setup) {
        Choose(setup.Combo2, "19200");
        return int(QDialog::Accepted);
    };
    next.ToolButton3Click();
    EXPECT_EQ(next.ComPort1->Port(), name);
    EXPECT_EQ(next.ComPort1->BaudRate(), br19200);
}

TEST_F(MainWindowTest, ASetupThatCannotBeStoredIsShownAndStaysForThisRun) {
    // A file where the configuration folder should be: no folder, so no settings file.
    std::filesystem::create_directories(dir.filePath("config").toStdString());
    std::ofstream(ConfigFolder()) << "not a folder";
    onSetup = [](TComSetupFrm& setup) {
        Choose(setup.Combo2, "19200");
        return int(QDialog::Accepted);
    };
    QMetaObject::invokeMethod(form->ToolButton3, "trigger", Qt::QueuedConnection);
    QCoreApplication::processEvents();
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_EQ(exceptions[0].rfind(
                  "Failed to store settings in " + SettingsFile() + " (win error code: ", 0),
              0u)
        << exceptions[0];
    EXPECT_EQ(form->ComPort1->BaudRate(), br19200);
}

} // namespace
} // namespace zv
