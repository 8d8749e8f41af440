#include "app/gui/Main.h"

#include "app/core/BoardSettings.h"
#include "app/core/Download.h"
#include "app/core/HexImage.h"
#include "app/core/LineSettings.h"
#include "app/gui/Hw.h"
#include "cport/ComPort.h"
#include "cportui/ComSetup.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtText.h"

#include <QAction>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QWidget>

#include <algorithm>
#include <vector>

// The toolbar images live in this library's resources; a static library must register them
// itself, as nothing else references their object file.
static void InitResources() {
    Q_INIT_RESOURCE(zelvator);
}

namespace zv {

namespace {

constexpr int ClientWidth = 188;
constexpr int ToolBarHeight = 29;
constexpr int ButtonWidth = 23;
constexpr int ButtonHeight = 22;
constexpr int StatusBarHeight = 19;
constexpr int ClientHeight = 50;
constexpr int PanelWidths[3] = {70, 85, 50}; // the design's widths: the least each panel gets
const char* const PanelStartTexts[3] = {"Open File !", "Name", "????"};

// Every text a panel shows; its width fits the widest in the font the panel really uses (a
// platform's font can be wider than the one the design widths were made for).
const std::vector<std::string_view>& PanelTexts(int Index) {
    static const std::vector<std::string_view> texts[3] = {
        {"Open File !", "File is Set", StatusReadFile, StatusFileReady, StatusFileTransfer,
         StatusRun},
        {"Name"},
        {"????", "33000"}, // the largest image end
    };
    return texts[Index];
}

// The label's own size hint for each text: the text in the label's font, its frame, margins and
// indent.
int PanelWidth(QLabel& Panel, int Index) {
    const QString shown = Panel.text();
    int width = PanelWidths[Index];
    for (std::string_view text : PanelTexts(Index)) {
        Panel.setText(ToQString(text));
        width = std::max(width, Panel.sizeHint().width());
    }
    Panel.setText(shown);
    return width;
}

// A row of status panels at fixed widths, placed side by side without a layout, so that the
// window's width never squeezes them.
class TPanelRow : public QWidget {
public:
    using QWidget::QWidget;

    void Place() {
        int x = 0;
        const QList<QLabel*> panels = findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
        for (QLabel* panel : panels) {
            panel->setGeometry(x, 0, panel->minimumWidth(), height());
            x += panel->minimumWidth();
        }
    }

protected:
    void resizeEvent(QResizeEvent* Event) override {
        QWidget::resizeEvent(Event);
        Place();
    }
};

// One status panel: as wide as the design says, or as its widest text needs in its font.
class TPanel : public QLabel {
public:
    TPanel(int Index, TPanelRow* Row)
        : QLabel(QString::fromLatin1(PanelStartTexts[Index]), Row), FIndex(Index), FRow(Row) {
        setFrameShape(QFrame::Panel);
        setFrameShadow(QFrame::Sunken);
        setContentsMargins(2, 0, 2, 0);
        Fit();
    }

protected:
    void changeEvent(QEvent* Event) override {
        QLabel::changeEvent(Event);
        if (Event->type() == QEvent::FontChange || Event->type() == QEvent::StyleChange) {
            Fit();
            FRow->Place();
        }
    }

private:
    void Fit() { setMinimumWidth(PanelWidth(*this, FIndex)); }

    int FIndex;
    TPanelRow* FRow;
};

// A message box in the way the program shows its own errors: OK button, error icon.
void ShowErrorBox(QWidget* Parent, const QString& Text, const QString& Caption) {
    QMessageBox box(QMessageBox::Critical, Caption, Text, QMessageBox::Ok, Parent);
    ExecModal(box);
}

// Runs a command on Port. A port whose device has gone away keeps its dead handle, and every
// later Open keeps that handle: a command failing for that reason closes the port, so that the
// next one opens the device afresh once it is back. Any other failure leaves the port as it is.
template <typename F> void OnPort(TCustomComPort& Port, F&& Command) {
    try {
        Command();
    } catch (const EComPort& e) {
        if (DeviceGone(e.OsErrorCode())) {
            try {
                Port.Close(); // a device that is gone still closes
            } catch (...) {
                // The failure of the command is the one to report.
            }
        }
        throw;
    }
}

} // namespace

QStringList NameFiltersFromFilterString(std::string_view Filter) {
    const QStringList parts = ToQString(Filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        filters.append(parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')'));
    }
    return filters;
}

bool NameFilterMatches(const QString& NameFilter, const QString& FileName) {
    // The patterns are the blank-separated words between the last parentheses.
    const qsizetype open = NameFilter.lastIndexOf(QLatin1Char('('));
    const qsizetype close = NameFilter.lastIndexOf(QLatin1Char(')'));
    if (open < 0 || close < open)
        return false;
    const QStringList patterns =
        NameFilter.mid(open + 1, close - open - 1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& pattern : patterns) {
        const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern),
                                    QRegularExpression::CaseInsensitiveOption);
        if (re.match(FileName).hasMatch())
            return true;
    }
    return false;
}

// Maps the download's reports to the status bar and the program's message boxes.
class TForm1::TStatusObserver : public TDownloadObserver {
public:
    explicit TStatusObserver(TForm1& Form) : FForm(Form), FPanel0(Form.PanelText(0)) {}

    void Status(std::string_view Text, bool Repaint) override {
        FForm.SetPanelText(0, ToQString(Text));
        if (Repaint)
            FForm.repaint();
    }
    void ImageEnd(std::uint32_t End) override {
        FForm.SetPanelText(2, QString::number(End));
        FForm.repaint();
    }
    void FileOpenFailed(const std::string&, DWORD) override {
        ShowErrorBox(&FForm, ToQString(FileOpenErrorText), ToQString(FileOpenErrorCaption));
    }
    void FileRefused(const std::string& FileName, const HexLoadReport& Report) override {
        // Panel 0 shows again what it showed before the command; the box names the first bad
        // line.
        FForm.SetPanelText(0, FPanel0);
        ShowErrorBox(&FForm,
                     QStringLiteral("Soubor nelze nahrat do simulatoru:\n") +
                         QFile::decodeName(QByteArray::fromStdString(FileName)) +
                         QLatin1Char('\n') + ToQString(HexProblemText(Report)),
                     QStringLiteral("Chyba v souboru"));
    }

private:
    TForm1& FForm;
    QString FPanel0;
};

TForm1::TForm1(TForm2* About, QWidget* Parent)
    : QMainWindow(Parent), TComponent(nullptr), FAbout(About) {
    InitResources();
    InstallComPortSetupDialog(); // "Setup COM" runs it through ComPort1->ShowSetupDialog()
    SetName("Form1");
    setWindowTitle(QStringLiteral("Zelvator"));
    // System menu and minimize box, no maximize box; the size is fixed below.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(16, 16));
    ToolBar1->setFixedHeight(ToolBarHeight);
    // Buttons side by side without gaps, as the window is only as wide as the toolbar.
    ToolBar1->setStyleSheet(
        QStringLiteral("QToolBar { border: none; padding: 0px; spacing: 0px; }"));
    ToolBar1->toggleViewAction()->setEnabled(false);
    addToolBar(Qt::TopToolBarArea, ToolBar1);
    setContextMenuPolicy(Qt::NoContextMenu);

    ToolButton1 = AddButton(0, "Open File");
    ToolButton2 = AddSeparator(18);
    ToolButton3 = AddButton(9, "Setup COM");
    ToolButton4 = AddButton(8, "Help - About");
    ToolButton5 = AddButton(10, "Help - About");
    ToolButton6 = AddButton(6, "Reset");
    ToolButton7 = AddSeparator(28);
    ToolButton8 = AddButton(5, "Write Program to Sim");
    ToolButton8->setEnabled(false);

    connect(ToolButton1, &QAction::triggered, this,
            [this] { CallHandler([this] { ToolButton1Click(); }); });
    connect(ToolButton3, &QAction::triggered, this,
            [this] { CallHandler([this] { ToolButton3Click(); }); });
    connect(ToolButton4, &QAction::triggered, this,
            [this] { CallHandler([this] { ToolButton4Click(); }); });
    connect(ToolButton5, &QAction::triggered, this,
            [this] { CallHandler([this] { ToolButton5Click(); }); });
    connect(ToolButton6, &QAction::triggered, this,
            [this] { CallHandler([this] { ToolButton6Click(); }); });
    connect(ToolButton8, &QAction::triggered, this,
            [this] { CallHandler([this] { ToolButton8Click(); }); });

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setFixedHeight(StatusBarHeight);
    // The panels sit edge to edge at their fixed widths; what does not fit in the window (the
    // three are wider together than the window) is cut off at its edge.
    auto* panels = new TPanelRow(StatusBar1);
    for (int i = 0; i < 3; ++i)
        FPanels[i] = new TPanel(i, panels);
    StatusBar1->setStyleSheet(QStringLiteral("QStatusBar::item { border: none; }"));
    StatusBar1->addWidget(panels, 1);
    setStatusBar(StatusBar1);
    setCentralWidget(new QWidget(this));

    CreateComPort();
    LoadPortSettings();

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    // Qt's own dialog on every platform: its name filters match without regard to case.
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
    OpenDialog1->setOption(QFileDialog::HideNameFilterDetails);
    OpenDialog1->setFilter(OpenDialog1->filter() & ~QDir::CaseSensitive);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setNameFilters(NameFiltersFromFilterString(OpenDialogFilter));

    // Fixed size at the design position.
    setFixedSize(ClientWidth, ClientHeight);
    move(244, 79);
}

TForm1::~TForm1() {
    // ComPort1 is destroyed (and closes the device) while the window still exists.
    BeforeDestruction();
}

QAction* TForm1::AddButton(int ImageIndex, const char* Hint) {
    QAction* action = ToolBar1->addAction(QIcon(QStringLiteral(":/images/%1.xpm").arg(ImageIndex)),
                                          QString::fromLatin1(Hint));
    action->setToolTip(QString::fromLatin1(Hint));
    ToolBar1->widgetForAction(action)->setFixedSize(ButtonWidth, ButtonHeight);
    return action;
}

QAction* TForm1::AddSeparator(int Width) {
    // A gap of the given width; separators show no image.
    auto* gap = new QWidget(ToolBar1);
    gap->setFixedWidth(Width);
    return ToolBar1->addWidget(gap);
}

void TForm1::CreateComPort() {
    ComPort1 = new TComPort(this);
    // Built as a form description is read: the settings only recorded, then Loaded. They are
    // the board's, from the one place that sets them up for both faces of the downloader.
    ComPort1->BeginLoading();
    ComPort1->SetName("ComPort1");
    ConfigureBoardPort(*ComPort1);
    ComPort1->OnAfterOpen = [this](TObject* Sender) { ComPortOpen(Sender); };
    ComPort1->Loaded();
}

void TForm1::LoadPortSettings() {
    const TBoardSettingsLoad loaded = LoadBoardSettings(*ComPort1);
    if (loaded.State != bsRefused)
        return;
    // Said once the window is on the screen; until then it works with its designed port.
    const QString text =
        QStringLiteral("The stored port settings cannot be used:\n") +
        QFile::decodeName(QByteArray::fromStdString(loaded.Problem)) +
        QStringLiteral("\n\nThe window uses its own settings (%1 at %2 baud) until \"Setup COM\" "
                       "stores new ones.")
            .arg(ToQString(ComPort1->Port()), ToQString(BaudRateToStr(ComPort1->BaudRate())));
    QTimer::singleShot(0, this, [this, text] {
        QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
        ExecModal(box);
    });
}

QString TForm1::PanelText(int Index) const {
    return FPanels[Index]->text();
}

void TForm1::SetPanelText(int Index, const QString& Text) {
    FPanels[Index]->setText(Text);
}

void TForm1::ComPortOpen(TObject*) {
    zv::ComPortOpen(*ComPort1);
}

void TForm1::ToolButton1Click() {
    if (ExecModal(*OpenDialog1) != QDialog::Accepted)
        return;
    const QStringList files = OpenDialog1->selectedFiles();
    if (files.isEmpty())
        return;
    FFileName = QFile::encodeName(files.first()).toStdString();
    ToolButton8->setEnabled(true);
    SetPanelText(0, QStringLiteral("File is Set"));
    repaint();
}

void TForm1::ToolButton3Click() {
    // Only a confirmed choice is remembered. Settings the open device refuses, or that the board
    // protocol cannot run on (a closed port takes any), are reported, and the port gets back
    // those in force before.
    TLineSettings before(*ComPort1);
    bool confirmed = false;
    OnPort(*ComPort1, [&] {
        try {
            confirmed = ComPort1->ShowSetupDialog();
            if (confirmed) {
                if (const std::string problem = BoardSettingsProblem(*ComPort1); !problem.empty())
                    throw Exception(problem + ": the settings are not changed");
            }
        } catch (...) {
            before.PutBack(*ComPort1);
            throw;
        }
    });
    if (confirmed)
        StoreBoardSettings(*ComPort1);
}

void TForm1::ToolButton4Click() {
    ShowAbout();
}
void TForm1::ToolButton5Click() {
    ShowAbout();
}

void TForm1::ShowAbout() {
    if (FAbout)
        ExecModal(*FAbout);
}

void TForm1::ToolButton6Click() {
    OnPort(*ComPort1, [this] { ResetBoard(*ComPort1); });
}

void TForm1::ToolButton8Click() {
    TStatusObserver observer(*this);
    OnPort(*ComPort1, [&] { RunDownload(*ComPort1, FFileName, observer); });
}

} // namespace zv
