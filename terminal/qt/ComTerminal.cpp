#include "terminal/qt/ComTerminal.h"

#include "cport/ComPort.h"
#include "terminal/qt/TermSetup.h"
#include "toolkit/qt/ModalRunner.h"
#include "toolkit/qt/QtApplication.h"

#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMetaObject>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <string>

namespace zv {

namespace {

QColor toQColor(TTermColor Color) {
    return QColor(static_cast<int>(Color & 0xFFU), static_cast<int>((Color >> 8) & 0xFFU),
                  static_cast<int>((Color >> 16) & 0xFFU));
}

struct TKeyMap {
    int QtKey;
    TTermKey Key;
};

constexpr TKeyMap CursorKeys[] = {
    {Qt::Key_Home, tkHome},   {Qt::Key_Left, tkLeft}, {Qt::Key_Up, tkUp},
    {Qt::Key_Right, tkRight}, {Qt::Key_Down, tkDown},
};

} // namespace

TCustomComTerminal::TCustomComTerminal(QWidget* Parent)
    : QAbstractScrollArea(Parent), TComponent(nullptr), FLink(std::make_unique<TComLink>()) {
    FLink->OnLinkRxData = [this](TObject*, const void* Buffer, std::int32_t Count) {
        ReceiveBlock(Buffer, Count);
    };
    SetSink(this);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent, true);
    horizontalScrollBar()->setTracking(false);
    verticalScrollBar()->setTracking(false);
    ApplyFrame();
    setFont(DefaultFont());
    FontChanged();
    resize(400, 250);
}

TCustomComTerminal::~TCustomComTerminal() {
    // Let go of the port first, quietly: nothing more arrives while the members go away.
    if (FComPort) {
        FComPort->UnRegisterLink(FLink.get());
        FComPort->RemoveFreeNotification(this);
        FComPort = nullptr;
    }
    BeforeDestruction();
}

QFont TCustomComTerminal::DefaultFont() {
    QFont font(QStringLiteral("Fixedsys"));
    font.setPointSize(9);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

// ---------------------------------------------------------------------------------------------
// The port

void TCustomComTerminal::SetComPort(TCustomComPort* Value) {
    if (Value == FComPort)
        return;
    if (FComPort) {
        FComPort->UnRegisterLink(FLink.get());
        FComPort->RemoveFreeNotification(this);
    }
    FComPort = Value;
    if (Value) {
        Value->FreeNotification(this);
        Value->RegisterLink(FLink.get());
    }
}

void TCustomComTerminal::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && FComPort && AComponent == static_cast<TComponent*>(FComPort))
        SetComPort(nullptr);
}

bool TCustomComTerminal::Connected() const {
    return FComPort != nullptr && FComPort->Connected();
}

void TCustomComTerminal::SetConnected(bool Value) {
    if (FComPort)
        FComPort->SetConnected(Value);
}

void TCustomComTerminal::SendStr(const std::string& Str) {
    if (!FComPort)
        return;
    // A line that does not take the bytes within the port's write time-out (its flow control
    // holding it) has lost them: that is said, and nothing is echoed as if it had gone.
    const std::int32_t sent = FComPort->WriteStr(Str);
    if (sent < static_cast<std::int32_t>(Str.size()))
        throw Exception("The line took " + std::to_string(sent) + " of " +
                        std::to_string(Str.size()) +
                        " bytes within the port's write time-out: the rest was not sent");
}

void TCustomComTerminal::ReceiveBlock(const void* Buffer, std::int32_t Count) {
    if (QThread::currentThread() != thread()) {
        // A port that runs its handlers on its own thread: the block is copied and handled on
        // the GUI thread.
        std::string copy(static_cast<const char*>(Buffer), static_cast<std::size_t>(Count));
        QMetaObject::invokeMethod(
            this,
            [this, copy] {
                CallHandler([&] { RxBuf(FComPort, copy.data(), static_cast<int>(copy.size())); });
            },
            Qt::QueuedConnection);
        return;
    }
    // An exception (a failed answer to the peer) is shown here and goes no further up.
    CallHandler([&] { RxBuf(FComPort, Buffer, Count); });
}

// ---------------------------------------------------------------------------------------------
// Loading, sizes, frame

void TCustomComTerminal::Loaded() {
    TComponent::Loaded();
    AfterLoad();
    AdjustSize();
    UpdateScrollRange();
    MarkAll();
}

QSize TCustomComTerminal::AutoSizeExtent() const {
    const int border = 2 * frameWidth();
    return QSize(FCharWidth * Columns() + border, FCharHeight * Rows() + border);
}

QSize TCustomComTerminal::sizeHint() const {
    return FAutoSize ? AutoSizeExtent() : QSize(400, 250);
}

void TCustomComTerminal::SetAutoSize(bool Value) {
    if (Value == FAutoSize)
        return;
    FAutoSize = Value;
    if (!FAutoSize) {
        // The size the automatic sizing fixed is let go of: layouts and resize() work again.
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        updateGeometry();
    }
    AdjustSize();
}

void TCustomComTerminal::AdjustSize() {
    if (!FAutoSize)
        return;
    const QSize extent = AutoSizeExtent();
    setFixedSize(extent);
    updateGeometry();
}

void TCustomComTerminal::ApplyFrame() {
    if (FBorderStyle == bsNone) {
        setFrameStyle(QFrame::NoFrame);
    } else if (FCtl3D) {
        // The sunken client edge: two pixels on each side.
        setFrameStyle(QFrame::Panel | QFrame::Sunken);
        setLineWidth(2);
    } else {
        setFrameStyle(QFrame::Box | QFrame::Plain);
        setLineWidth(1);
    }
    AdjustSize();
    UpdateScrollRange();
}

void TCustomComTerminal::SetBorderStyle(TTermBorderStyle Value) {
    if (Value == FBorderStyle || Value > bsSingle)
        return;
    FBorderStyle = Value;
    ApplyFrame();
}

void TCustomComTerminal::SetCtl3D(bool Value) {
    if (Value == FCtl3D)
        return;
    FCtl3D = Value;
    ApplyFrame();
}

void TCustomComTerminal::SetScrollBars(TTermScrollBars Value) {
    if (Value == FScrollBars || Value > ssBoth)
        return;
    FScrollBars = Value;
    UpdateScrollRange();
}

void TCustomComTerminal::SetSmoothScroll(bool Value) {
    FSmoothScroll = Value;
    horizontalScrollBar()->setTracking(Value);
    verticalScrollBar()->setTracking(Value);
}

int TCustomComTerminal::ClientWidth() const {
    return viewport()->width();
}

int TCustomComTerminal::ClientHeight() const {
    return viewport()->height();
}

void TCustomComTerminal::GridChanged() {
    AdjustSize();
    UpdateScrollRange();
}

void TCustomComTerminal::resizeEvent(QResizeEvent* Event) {
    QAbstractScrollArea::resizeEvent(Event);
    UpdateScrollRange();
}

// ---------------------------------------------------------------------------------------------
// Scroll bars

void TCustomComTerminal::UpdateScrollRange() {
    if (FInScrollUpdate)
        return;
    FInScrollUpdate = true;
    QScrollBar* horizontal = horizontalScrollBar();
    QScrollBar* vertical = verticalScrollBar();
    const bool useH = FScrollBars == ssHorizontal || FScrollBars == ssBoth;
    const bool useV = FScrollBars == ssVertical || FScrollBars == ssBoth;
    // The client size without bars.
    const QRect inside = contentsRect();
    const int fullWidth = inside.width();
    const int fullHeight = inside.height();
    const int barWidth = vertical->sizeHint().width();
    const int barHeight = horizontal->sizeHint().height();
    const int cw = std::max(FCharWidth, 1);
    const int ch = std::max(FCharHeight, 1);

    // A bar takes room from the other axis, which may make that one need a bar too: two
    // passes settle it.
    bool showH = false;
    bool showV = false;
    for (int pass = 0; pass < 2; ++pass) {
        const int width = fullWidth - (showV ? barWidth : 0);
        const int height = fullHeight - (showH ? barHeight : 0);
        showH = useH && width / cw < Columns();
        showV = useV && height / ch < Rows();
    }
    const int width = fullWidth - (showV ? barWidth : 0);
    const int height = fullHeight - (showH ? barHeight : 0);
    const int columnsShown = width / cw;
    const int rowsShown = height / ch;

    setHorizontalScrollBarPolicy(showH ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(showV ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    horizontal->setRange(0, showH ? Columns() - columnsShown : 0);
    horizontal->setPageStep(std::max(columnsShown, 1));
    horizontal->setSingleStep(1);
    vertical->setRange(0, showV ? Rows() - rowsShown : 0);
    vertical->setPageStep(std::max(rowsShown, 1));
    vertical->setSingleStep(1);
    FInScrollUpdate = false;
    UpdateScrollPos();
}

void TCustomComTerminal::UpdateScrollPos() {
    const TTermPoint topLeft{horizontalScrollBar()->value() + 1, verticalScrollBar()->value() + 1};
    if (topLeft == TopLeft())
        return;
    SetTopLeft(topLeft);
    MarkAll();
}

void TCustomComTerminal::scrollContentsBy(int DX, int DY) {
    const TTermPoint old = TopLeft();
    SetTopLeft({horizontalScrollBar()->value() + 1, verticalScrollBar()->value() + 1});
    if (TopLeft() == old)
        return;
    if (FDoubleBuffered) {
        MarkAll();
    } else {
        FLastFlush.invalidate();
        Flush();
        viewport()->scroll(DX * FCharWidth, DY * FCharHeight);
    }
}

// ---------------------------------------------------------------------------------------------
// The dirty area

void TCustomComTerminal::MarkCells(int Left, int Top, int Right, int Bottom) {
    if (FDirtyAll)
        return;
    if (FDirty.Right < FDirty.Left) {
        FDirty = {Left, Top, Right, Bottom};
    } else {
        FDirty.Left = std::min(FDirty.Left, Left);
        FDirty.Top = std::min(FDirty.Top, Top);
        FDirty.Right = std::max(FDirty.Right, Right);
        FDirty.Bottom = std::max(FDirty.Bottom, Bottom);
    }
    if (!FFlushPosted) {
        FFlushPosted = true;
        QMetaObject::invokeMethod(this, &TCustomComTerminal::Flush, Qt::QueuedConnection);
    }
}

void TCustomComTerminal::MarkAll() {
    FDirtyAll = true;
    if (!FFlushPosted) {
        FFlushPosted = true;
        QMetaObject::invokeMethod(this, &TCustomComTerminal::Flush, Qt::QueuedConnection);
    }
}

void TCustomComTerminal::Flush() {
    FFlushPosted = false;
    // At most one repaint per frame: what arrives sooner waits for the frame's end, so a flood
    // delivered in many small blocks still repaints some sixty times a second.
    if (FLastFlush.isValid()) {
        const qint64 since = FLastFlush.elapsed();
        if (since < kFrameMs) {
            FFlushPosted = true;
            QTimer::singleShot(static_cast<int>(kFrameMs - since), this,
                               &TCustomComTerminal::Flush);
            return;
        }
    }
    FLastFlush.start();
    if (FDirtyAll) {
        viewport()->update();
    } else if (FDirty.Right >= FDirty.Left) {
        const QRect area((FDirty.Left - 1) * FCharWidth, (FDirty.Top - 1) * FCharHeight,
                         (FDirty.Right - FDirty.Left + 1) * FCharWidth,
                         (FDirty.Bottom - FDirty.Top + 1) * FCharHeight);
        viewport()->update(area.intersected(viewport()->rect()));
    }
    FDirtyAll = false;
    FDirty = {0, 0, -1, -1};
}

void TCustomComTerminal::DrawChar(int X, int Y, const TComTermChar&) {
    MarkCells(X, Y, X, Y);
}

void TCustomComTerminal::InvalidatePortion(const TTermRect& Cells) {
    const TTermPoint topLeft = TopLeft();
    MarkCells(std::max(Cells.Left - topLeft.X + 1, 1), std::max(Cells.Top - topLeft.Y + 1, 1),
              Cells.Right - topLeft.X + 1, Cells.Bottom - topLeft.Y + 1);
}

void TCustomComTerminal::Invalidate() {
    MarkAll();
}

void TCustomComTerminal::ScrollContent(int DX, int DY, const TTermRect& Scroll) {
    // Only without double buffering (the buffer invalidates the whole window otherwise). What is
    // marked must reach Qt before the pixels move.
    FLastFlush.invalidate();
    Flush();
    viewport()->scroll(
        DX, DY,
        QRect(Scroll.Left, Scroll.Top, Scroll.Right - Scroll.Left, Scroll.Bottom - Scroll.Top));
}

// ---------------------------------------------------------------------------------------------
// Painting

void TCustomComTerminal::paintEvent(QPaintEvent* Event) {
    QPainter painter(viewport());
    const QRect clip = Event->rect();
    painter.fillRect(clip, toQColor(Color()));
    const int cw = std::max(FCharWidth, 1);
    const int ch = std::max(FCharHeight, 1);
    const TTermRect cells{clip.left() / cw + 1, clip.top() / ch + 1,
                          std::min(clip.right() / cw + 1, Columns()),
                          std::min(clip.bottom() / ch + 1, Rows())};
    PaintTerminal(painter, cells);
    const QRect caret = CaretRect();
    if (!caret.isEmpty() && FCaretHidden == 0 && caret.intersects(clip)) {
        painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        painter.fillRect(caret, Qt::white);
    }
}

void TCustomComTerminal::PaintTerminal(QPainter& Painter, const TTermRect& Rect) {
    const TTermPoint topLeft = TopLeft();
    // No buffer row beyond Rows and no column beyond Columns is read.
    const int right = std::min(Rect.Right, Columns() - topLeft.X + 1);
    const int bottom = std::min(Rect.Bottom, Rows() - topLeft.Y + 1);
    QFont font = this->font();
    const QFontMetrics metrics(font);
    const int ascent = metrics.ascent();
    // When a character advances exactly one cell, a run of cells with the same colours is drawn
    // as one text; otherwise every character is placed in its cell.
    const bool runs = metrics.horizontalAdvance(QLatin1Char('M')) == FCharWidth;
    QString text;
    for (int y = Rect.Top; y <= bottom; ++y) {
        int x = Rect.Left;
        while (x <= right) {
            const TComTermChar cell = Buffer().GetChar(x + topLeft.X - 1, y + topLeft.Y - 1);
            if (cell.Ch == 0) {
                ++x; // empty cells show the background
                continue;
            }
            text.clear();
            text += QChar::fromLatin1(cell.Ch);
            int end = x + 1;
            while (runs && end <= right) {
                const TComTermChar next = Buffer().GetChar(end + topLeft.X - 1, y + topLeft.Y - 1);
                if (next.Ch == 0 || next.FrontColor != cell.FrontColor ||
                    next.BackColor != cell.BackColor || next.Underline != cell.Underline)
                    break;
                text += QChar::fromLatin1(next.Ch);
                ++end;
            }
            const QRect box((x - 1) * FCharWidth, (y - 1) * FCharHeight, (end - x) * FCharWidth,
                            FCharHeight);
            Painter.fillRect(box, toQColor(cell.BackColor));
            if (font.underline() != cell.Underline) {
                font.setUnderline(cell.Underline);
                Painter.setFont(font);
            }
            Painter.setPen(toQColor(cell.FrontColor));
            Painter.drawText(box.left(), box.top() + ascent, text);
            x = end;
        }
    }
}

void TCustomComTerminal::SetColor(TTermColor Value) {
    TTermEngine::SetColor(Value);
    MarkAll();
}

void TCustomComTerminal::SetFontColor(TTermColor Value) {
    TTermEngine::SetFontColor(Value);
    MarkAll();
}

void TCustomComTerminal::SetAltColor(TTermColor Value) {
    TTermEngine::SetAltColor(Value);
}

// ---------------------------------------------------------------------------------------------
// Font

void TCustomComTerminal::SetTermFont(const QFont& Value) {
    setFont(Value);
}

bool TCustomComTerminal::CalculateMetrics() {
    const QFontMetrics metrics(font());
    // The widest of the characters a cell can hold (one byte each): the font's own maximum
    // also counts glyphs far outside that set, and a monospaced font with a few wide ones
    // would space every cell out to their width.
    int widest = 1;
    for (int code = 32; code < 256; ++code)
        if (code < 127 || code >= 160)
            widest = std::max(widest, metrics.horizontalAdvance(QChar(code)));
    FCharWidth = widest;
    FCharHeight = std::max(metrics.height(), 1);
    return HasFixedPitch(font());
}

bool TCustomComTerminal::HasFixedPitch(const QFont& Font) {
    if (QFontInfo(Font).fixedPitch())
        return true;
    // Some monospaced fonts do not declare their pitch: narrow and wide letters of equal
    // advance make a font fixed-pitch for the terminal.
    const QFontMetrics metrics(Font);
    const int width = metrics.horizontalAdvance(QLatin1Char('M'));
    for (const char ch : {'i', 'l', 'W', '.', ' ', '0'})
        if (metrics.horizontalAdvance(QLatin1Char(ch)) != width)
            return false;
    return width > 0;
}

void TCustomComTerminal::changeEvent(QEvent* Event) {
    QAbstractScrollArea::changeEvent(Event);
    if (Event->type() == QEvent::FontChange && !FInFontChange)
        FontChanged();
}

void TCustomComTerminal::FontChanged() {
    FInFontChange = true;
    if (!CalculateMetrics()) {
        // A proportional font: the default font's name; when this system has no fixed font of
        // that name either, the system's fixed font. Each step is taken once, so this ends.
        QFont replacement = font();
        replacement.setFamily(DefaultFont().family());
        setFont(replacement);
        if (!CalculateMetrics()) {
            QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
            if (font().pointSizeF() > 0)
                fixed.setPointSizeF(font().pointSizeF());
            setFont(fixed);
            CalculateMetrics();
        }
    }
    if (font().underline()) {
        QFont plain = font();
        plain.setUnderline(false);
        setFont(plain);
        CalculateMetrics();
    }
    FInFontChange = false;
    AdjustSize();
    UpdateScrollRange();
    if (FCaretCreated)
        InitCaret();
    MarkAll();
}

void TCustomComTerminal::SelectFont() {
    QFontDialog dialog(font(), this);
    dialog.setOption(QFontDialog::MonospacedFonts, true);
    if (ExecModal(dialog) == QDialog::Accepted)
        setFont(dialog.selectedFont());
}

void TCustomComTerminal::ShowSetupDialog() {
    EditComTerminal(this);
}

// ---------------------------------------------------------------------------------------------
// Caret

QRect TCustomComTerminal::CaretRect() const {
    if (!FCaretCreated || FCaretHeight <= 0)
        return {};
    const TTermPoint at = CaretPos();
    const TTermPoint topLeft = TopLeft();
    return QRect((at.X - topLeft.X) * FCharWidth,
                 (at.Y - topLeft.Y + 1) * FCharHeight - FCaretHeight, FCharWidth, FCaretHeight);
}

void TCustomComTerminal::InitCaret() {
    switch (Caret()) {
    case tcBlock:
        FCaretHeight = FCharHeight;
        break;
    case tcUnderline:
        FCaretHeight = FCharHeight / 8;
        break;
    case tcNone:
        FCaretHeight = 0;
        break;
    }
    FCaretCreated = FCaretHeight > 0;
    MarkCaret();
}

void TCustomComTerminal::MarkCaret() {
    // The cell the caret was drawn in and the one it is in now.
    const TTermPoint topLeft = TopLeft();
    const TTermPoint at = CaretPos();
    MarkCells(FCaretDrawnAt.X, FCaretDrawnAt.Y, FCaretDrawnAt.X, FCaretDrawnAt.Y);
    FCaretDrawnAt = {at.X - topLeft.X + 1, at.Y - topLeft.Y + 1};
    MarkCells(FCaretDrawnAt.X, FCaretDrawnAt.Y, FCaretDrawnAt.X, FCaretDrawnAt.Y);
}

void TCustomComTerminal::HideCaret() {
    if (FCaretCreated)
        ++FCaretHidden;
}

void TCustomComTerminal::ShowCaret() {
    if (FCaretCreated && FCaretHidden > 0 && --FCaretHidden == 0)
        MarkCaret();
}

void TCustomComTerminal::CaretMoved() {
    if (FCaretCreated && FCaretHidden == 0)
        MarkCaret();
}

void TCustomComTerminal::CaretShapeChanged() {
    if (FFocused) {
        MarkCaret();
        FCaretCreated = false;
        InitCaret();
    }
}

void TCustomComTerminal::focusInEvent(QFocusEvent* Event) {
    QAbstractScrollArea::focusInEvent(Event);
    FFocused = true;
    FCaretHidden = 0;
    InitCaret();
}

void TCustomComTerminal::focusOutEvent(QFocusEvent* Event) {
    if (FCaretCreated)
        MarkCaret();
    FFocused = false;
    FCaretCreated = false;
    FCaretHeight = 0;
    FCaretHidden = 0;
    QAbstractScrollArea::focusOutEvent(Event);
}

// ---------------------------------------------------------------------------------------------
// Keys

bool TCustomComTerminal::focusNextPrevChild(bool Next) {
    if (WantTab)
        return false; // Tab stays here and reaches keyPressEvent
    return QAbstractScrollArea::focusNextPrevChild(Next);
}

void TCustomComTerminal::keyPressEvent(QKeyEvent* Event) {
    CallHandler([&] {
        int key = Event->key();
        if (OnKeyDown)
            OnKeyDown(static_cast<TComponent*>(this), key, Event->modifiers());
        for (const TKeyMap& entry : CursorKeys) {
            if (entry.QtKey == key) {
                CursorKeyDown(entry.Key);
                return; // a cursor key types no character
            }
        }
        if (key == Qt::Key_Tab && !WantTab)
            return;
        const QString text = Event->text();
        if (text.size() != 1 || text[0].unicode() > 0xFF)
            return;
        char ch = static_cast<char>(text[0].unicode());
        if (OnKeyPress)
            OnKeyPress(static_cast<TComponent*>(this), ch);
        if (ch != 0)
            KeyChar(ch);
    });
    Event->accept();
}

} // namespace zv
