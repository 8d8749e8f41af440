// TCustomComTerminal / TComTerminal: the terminal widget. It shows what arrives on a serial port
// and sends what the user types; everything between the bytes and the screen cells is the
// terminal engine (terminal/TermEngine.h) that this class derives from. The widget adds the port
// link, painting, the caret, the scroll bars, sizing, keys and the font.
//
// Painting: incoming data never paints at once. Changed cells, caret moves and scrolls collect in
// one dirty area that is handed to Qt at the next turn of the event loop, and at most once per
// frame (16 ms), so a flood of data costs one repaint per frame however it is cut into blocks. Qt
// paints through a backing store, so the widget counts as double-buffered: a scroll of the screen
// repaints the window instead of moving pixels line by line (SetDoubleBuffered (false) moves them
// with QWidget::scroll).
//
// The caret is one we draw; it exists only while the widget has the focus.
//
// Qt's parent owns the widget; the component part takes part in free notification (the port's
// removal detaches the terminal) and the loading protocol. GUI thread only: received data that a
// port hands over on another thread (smNone) is passed to the GUI thread.
#pragma once

#include "cport/ComLink.h"
#include "terminal/TermEngine.h"
#include "toolkit/Component.h"

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QFont>

#include <cstdint>
#include <functional>
#include <memory>

namespace zv {

class TCustomComPort;

enum TTermBorderStyle : std::uint8_t { bsNone, bsSingle };
enum TTermScrollBars : std::uint8_t { ssNone, ssHorizontal, ssVertical, ssBoth };

// OnKeyDown: the Qt key and modifiers, before the terminal acts on the key.
using TTermKeyEvent =
    std::function<void(TObject* Sender, int& Key, Qt::KeyboardModifiers Modifiers)>;
// OnKeyPress: the typed character, which the handler may change (0 sends nothing).
using TTermKeyPressEvent = std::function<void(TObject* Sender, char& Key)>;

class TCustomComTerminal : public QAbstractScrollArea,
                           public TComponent,
                           public TTermEngine,
                           private TTermSink {
    Q_OBJECT

public:
    // 400 x 250, 80 x 24 cells, VT100, block caret, white on black in the default font.
    explicit TCustomComTerminal(QWidget* Parent = nullptr);
    ~TCustomComTerminal() override;

    TCustomComPort* ComPort() const noexcept { return FComPort; }
    // Detaches from the old port and attaches to Value (asking it for a removal notification).
    void SetComPort(TCustomComPort* Value);
    // The port's Connected (false without a port); writing opens or closes the port.
    bool Connected() const override;
    void SetConnected(bool Value);

    // The character font. A font without fixed pitch is replaced by the default font's name,
    // and when that is not fixed either (no font of that name on this system), by the
    // system's fixed font; underline is removed. Cell size, size and scroll ranges follow.
    QFont TermFont() const { return font(); }
    void SetTermFont(const QFont& Value);
    // The shared default font: "Fixedsys", 9 points.
    static QFont DefaultFont();
    // Whether the terminal takes Font as fixed-pitch: it says so, or its letters all advance
    // alike.
    static bool HasFixedPitch(const QFont& Font);

    // Colours of new cells and of the background (0x00BBGGRR). Stored cells keep theirs.
    void SetColor(TTermColor Value);
    void SetFontColor(TTermColor Value);
    void SetAltColor(TTermColor Value);

    TTermBorderStyle BorderStyle() const noexcept { return FBorderStyle; }
    void SetBorderStyle(TTermBorderStyle Value);
    TTermScrollBars ScrollBars() const noexcept { return FScrollBars; }
    void SetScrollBars(TTermScrollBars Value);
    bool Ctl3D() const noexcept { return FCtl3D; }
    void SetCtl3D(bool Value);
    // The view follows the scroll bar's thumb while it is dragged; otherwise only on release.
    bool SmoothScroll() const noexcept { return FSmoothScroll; }
    void SetSmoothScroll(bool Value);
    // Tab reaches the terminal (and the port) instead of moving the focus.
    bool WantTab = false;
    // The widget's size follows the grid: Columns x CharWidth, Rows x CharHeight, plus the border.
    bool AutoSize() const noexcept { return FAutoSize; }
    void SetAutoSize(bool Value);
    bool DoubleBuffered() const override { return FDoubleBuffered; }
    void SetDoubleBuffered(bool Value) { FDoubleBuffered = Value; }

    // Cell size in pixels, measured from the font.
    int CharWidth() const override { return FCharWidth; }
    int CharHeight() const override { return FCharHeight; }
    int ClientWidth() const override;
    int ClientHeight() const override;
    // Height of the drawn caret; 0 when there is none.
    int CaretHeight() const noexcept { return FCaretHeight; }
    bool CaretCreated() const noexcept { return FCaretCreated; }
    // The caret's rectangle in viewport pixels (empty when there is no caret).
    QRect CaretRect() const;

    // The font dialog limited to monospaced fonts, preset with the font.
    void SelectFont();
    // The terminal setup dialog on this terminal.
    void ShowSetupDialog();

    TTermKeyEvent OnKeyDown;
    TTermKeyPressEvent OnKeyPress;

    void Loaded() override;
    QSize sizeHint() const override;

    // The link through which the terminal observes its port (for tests and inspection).
    const TComLink& Link() const noexcept { return *FLink; }

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

    // Qt events
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    bool focusNextPrevChild(bool Next) override;
    void scrollContentsBy(int DX, int DY) override;

    // Display side of the engine
    void DrawChar(int X, int Y, const TComTermChar& Cell) override;
    void HideCaret() override;
    void ShowCaret() override;
    void CaretMoved() override;
    void GridChanged() override;
    void CaretShapeChanged() override;
    bool IsLoading() const override { return Loading(); }
    bool IsDesigning() const override { return Designing(); }
    TObject* EventSender() override { return static_cast<TComponent*>(this); }
    void ScrollContent(int DX, int DY, const TTermRect& Scroll) override;
    void InvalidatePortion(const TTermRect& Cells) override;
    void Invalidate() override;

    // Paints window cells Rect (inclusive; left, top, right, bottom) of the buffer.
    virtual void PaintTerminal(QPainter& Painter, const TTermRect& Rect);
    // Measures the font; true when it has fixed pitch.
    bool CalculateMetrics();
    // Width and height the widget takes with AutoSize.
    QSize AutoSizeExtent() const;
    void UpdateScrollRange();
    void UpdateScrollPos();
    void InitCaret();

private:
    void SendStr(const std::string& Str) override;
    void ReceiveBlock(const void* Buffer, std::int32_t Count);
    void ApplyFrame();
    void AdjustSize();
    void FontChanged();
    // The dirty area: window cells collected until the next turn of the event loop.
    void MarkCells(int Left, int Top, int Right, int Bottom);
    void MarkAll();
    void MarkCaret();
    void Flush();

    TCustomComPort* FComPort = nullptr;
    std::unique_ptr<TComLink> FLink;

    int FCharWidth = 8;
    int FCharHeight = 16;
    int FCaretHeight = 0;
    bool FCaretCreated = false;
    bool FFocused = false;
    int FCaretHidden = 0;
    TTermPoint FCaretDrawnAt{1, 1};

    TTermBorderStyle FBorderStyle = bsSingle;
    TTermScrollBars FScrollBars = ssBoth;
    bool FCtl3D = true;
    bool FSmoothScroll = false;
    bool FAutoSize = false;
    bool FDoubleBuffered = true;
    bool FInFontChange = false;
    bool FInScrollUpdate = false;

    static constexpr qint64 kFrameMs = 16;
    QElapsedTimer FLastFlush;
    bool FFlushPosted = false;
    bool FDirtyAll = false;
    TTermRect FDirty{0, 0, -1, -1}; // empty while Right < Left
};

// The published face (no form designer here: the same class under its published name).
class TComTerminal : public TCustomComTerminal {
    Q_OBJECT

public:
    using TCustomComTerminal::TCustomComTerminal;
};

} // namespace zv
