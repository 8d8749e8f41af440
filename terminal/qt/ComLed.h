// TComLed: a small lamp that shows one state of a serial port: open, the CTS, DSR or RLSD input
// line, an incoming ring, receive or transmit activity.
//
// The LED observes its port through its own link, with the signal slot of LedSignal bound, and
// changes its picture when the port reports that signal. An Rx or Tx lamp also hears the port
// close, and goes dark then. A ring lights it for RingDuration milliseconds from the first ring
// of a burst; another port or signal ends the count. Without a port it is a plain two-state lamp
// switched through SetState; with a port, State follows the port and SetState is refused.
//
// Pictures: a built-in pair of 15 x 15 glyphs per Kind (the program's resources ":/leds/LEDREDON"
// ...), or the user's own for lkCustom. The colour of a glyph's lower-left pixel is not drawn.
// The glyph is centred in the control, or at its top-left corner when the control is smaller;
// a disabled LED shows the unlit glyph.
//
// Qt's parent owns the widget; the component part takes part in free notification (the port's
// removal detaches the LED) and the loading protocol. GUI thread only: a port callback that
// arrives on another thread (a port in smNone mode) is passed to the GUI thread.
#pragma once

#include "cport/ComLink.h"
#include "toolkit/Component.h"
#include "toolkit/Object.h"

#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

class QTimer;

namespace zv {

class TCustomComPort;

enum TLedKind : std::uint8_t {
    lkRedLight,
    lkGreenLight,
    lkBlueLight,
    lkYellowLight,
    lkPurpleLight,
    lkBulb,
    lkCustom
};

enum TLedState : std::uint8_t { lsOff, lsOn };

// The port state an LED shows.
enum TComLedSignal : std::uint8_t { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };

using TLedStateEvent = std::function<void(TObject* Sender, TLedState AState)>;
// Indexed by TLedState: [lsOff] the unlit picture, [lsOn] the lit one.
using TComLedGlyphs = std::array<QPixmap, 2>;

// The resource name of a built-in glyph ("LEDREDON"); empty for lkCustom.
QString LedGlyphName(TLedKind Kind, TLedState State);
// The resource path of a built-in glyph (":/leds/LEDREDON"); empty for lkCustom.
QString LedGlyphResource(TLedKind Kind, TLedState State);
// A copy of Bitmap whose pixels of the lower-left pixel's colour are fully transparent.
QPixmap TransparentGlyph(const QPixmap& Bitmap);

class TComLed : public QWidget, public TComponent {
    Q_OBJECT

public:
    // 25 x 25, showing lsConn with a red lamp, unlit; no glyph is loaded until one is needed.
    explicit TComLed(QWidget* Parent = nullptr);
    ~TComLed() override;

    TCustomComPort* ComPort() const noexcept { return FComPort; }
    // Detaches from the old port and attaches to Value (asking it for a removal notification).
    // An open port sets the state from the watched signal at once; a closed one leaves it;
    // nullptr turns the lamp off.
    void SetComPort(TCustomComPort* Value);
    TComLedSignal LedSignal() const noexcept { return FLedSignal; }
    // Binds the link slot of the new signal; the state shown changes with its next report.
    void SetLedSignal(TComLedSignal Value);
    TLedKind Kind() const noexcept { return FKind; }
    // Loads the kind's glyph pair; lkCustom keeps the glyphs there are.
    void SetKind(TLedKind Value);
    TLedState State() const noexcept { return FState; }
    // Switches the lamp and raises OnChange (also when the state is the same); EComPort 19 while
    // a port is attached.
    void SetState(TLedState Value);

    // Index 0: the lit glyph (GlyphOn); 1: the unlit one (GlyphOff). Possibly empty.
    const QPixmap& GetGlyph(int Index) const;
    // Only for lkCustom: a transparent copy of Bitmap becomes the glyph. Otherwise nothing.
    void SetGlyph(int Index, const QPixmap& Bitmap);
    // Whether the glyph belongs in a stored description: only a custom one does.
    bool StoredGlyph(int Index) const noexcept;
    const QPixmap& GlyphOn() const { return GetGlyph(0); }
    void SetGlyphOn(const QPixmap& Bitmap) { SetGlyph(0, Bitmap); }
    const QPixmap& GlyphOff() const { return GetGlyph(1); }
    void SetGlyphOff(const QPixmap& Bitmap) { SetGlyph(1, Bitmap); }

    // How long a ring keeps the lamp lit, in milliseconds (default 1000). A change while the
    // lamp is lit by a ring starts the count again. A negative value reads as 0.
    int RingDuration() const;
    void SetRingDuration(int Value);
    // Milliseconds left of a running ring indication; -1 when none runs.
    int RingRemaining() const;

    // The link through which the LED observes its port (for tests and inspection).
    const TComLink& Link() const noexcept { return *FLink; }

    // Raised with the new state whenever the state is set, changed or not.
    TLedStateEvent OnChange;

    QSize sizeHint() const override;

protected:
    virtual void DoChange(TLedState AState);
    void Notification(TComponent* AComponent, TOperation Operation) override;
    void paintEvent(QPaintEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    // Draws the glyph of the current state (or the unlit one when disabled) with Painter.
    virtual void Paint(QPainter& Painter);

private:
    // Link slots and the ring timer.
    void SignalChange(TObject* Sender, bool OnOff);
    void RingDetect(TObject* Sender);
    void DoTimer();

    bool IsStateOn();
    void SetStateInternal(TLedState Value);
    void SelectLedBitmap(TLedKind Kind);
    void BitmapNeeded();
    QPoint CalcBitmapPos() const;
    const QPixmap& BitmapToDraw() const;
    // Runs Step on the GUI thread: at once when called there, else queued to this widget.
    template <typename F> void OnGuiThread(F&& Step);

    TCustomComPort* FComPort = nullptr;
    TComLedSignal FLedSignal = lsConn;
    TLedKind FKind = lkRedLight;
    TLedState FState = lsOff;
    TComLedGlyphs FGlyphs;
    std::unique_ptr<TComLink> FLink;
    std::unique_ptr<QTimer> FTimer;
};

} // namespace zv
