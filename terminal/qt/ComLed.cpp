#include "terminal/qt/ComLed.h"

#include "cport/ComError.h"
#include "cport/ComPort.h"
#include "toolkit/Exception.h"
#include "toolkit/qt/QtApplication.h"

#include <QEvent>
#include <QImage>
#include <QMetaObject>
#include <QPainter>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>

// The glyphs live in this library's resources; a static library must register them itself, as
// nothing else references their object file.
static void InitLedResources() {
    Q_INIT_RESOURCE(ComLed);
}

namespace zv {

namespace {

constexpr int DefaultSize = 25;
constexpr int DefaultRingDuration = 1000;

// Resource names of the built-in kinds, [kind][state].
constexpr const char* GlyphNames[lkCustom][2] = {
    {"LEDREDOFF", "LEDREDON"},       {"LEDGREENOFF", "LEDGREENON"},   {"LEDBLUEOFF", "LEDBLUEON"},
    {"LEDYELLOWOFF", "LEDYELLOWON"}, {"LEDPURPLEOFF", "LEDPURPLEON"}, {"LEDBULBOFF", "LEDBULBON"},
};

// GetGlyph's index: 0 is the lit glyph, 1 the unlit one.
TLedState GlyphState(int Index) {
    if (Index != 0 && Index != 1)
        throw EListError("Glyph index out of bounds (" + std::to_string(Index) + ")");
    return Index == 0 ? lsOn : lsOff;
}

QPixmap LoadGlyph(TLedKind Kind, TLedState State) {
    QPixmap glyph(LedGlyphResource(Kind, State), "XPM");
    if (glyph.isNull())
        throw Exception("Resource " + LedGlyphName(Kind, State).toStdString() + " not found");
    return TransparentGlyph(glyph);
}

} // namespace

QString LedGlyphName(TLedKind Kind, TLedState State) {
    if (Kind >= lkCustom)
        return {};
    return QString::fromLatin1(GlyphNames[Kind][State]);
}

QString LedGlyphResource(TLedKind Kind, TLedState State) {
    const QString name = LedGlyphName(Kind, State);
    return name.isEmpty() ? name : QStringLiteral(":/leds/") + name;
}

QPixmap TransparentGlyph(const QPixmap& Bitmap) {
    if (Bitmap.isNull())
        return Bitmap;
    QImage image = Bitmap.toImage().convertToFormat(QImage::Format_ARGB32);
    const QRgb background = image.pixel(0, image.height() - 1) & RGB_MASK;
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] & RGB_MASK) == background)
                line[x] = 0;
    }
    return QPixmap::fromImage(image);
}

TComLed::TComLed(QWidget* Parent)
    : QWidget(Parent), TComponent(nullptr), FLink(std::make_unique<TComLink>()),
      FTimer(std::make_unique<QTimer>()) {
    InitLedResources();
    resize(DefaultSize, DefaultSize);
    FLink->OnLinkConn = [this](TObject* Sender, bool OnOff) { SignalChange(Sender, OnOff); };
    // A lamp lit for a stated time: precise, so that it is not cut short.
    FTimer->setTimerType(Qt::PreciseTimer);
    FTimer->setInterval(DefaultRingDuration);
    QObject::connect(FTimer.get(), &QTimer::timeout, this,
                     [this] { CallHandler([this] { DoTimer(); }); });
}

TComLed::~TComLed() {
    FTimer.reset();
    // Let go of the port quietly: no OnChange from a widget that is going away.
    if (FComPort) {
        FComPort->UnRegisterLink(FLink.get());
        FComPort->RemoveFreeNotification(this);
        FComPort = nullptr;
    }
    BeforeDestruction();
}

QSize TComLed::sizeHint() const {
    return {DefaultSize, DefaultSize};
}

template <typename F> void TComLed::OnGuiThread(F&& Step) {
    if (QThread::currentThread() == thread()) {
        Step();
        return;
    }
    // Dropped by Qt if the LED is gone before the GUI thread gets to it.
    QMetaObject::invokeMethod(
        this, [this, step = std::forward<F>(Step)] { CallHandler(step); }, Qt::QueuedConnection);
}

// ---- Port -------------------------------------------------------------------------------------

void TComLed::SetComPort(TCustomComPort* Value) {
    if (Value == FComPort)
        return;
    if (FComPort) {
        FComPort->UnRegisterLink(FLink.get());
        FComPort->RemoveFreeNotification(this);
    }
    // The ring count belongs to the port that rang: running on, it would put out the lamp it
    // no longer shows. The ring it was counting goes with that port, and so does the light; a
    // closed port attached next would leave it lit for good.
    if (FTimer->isActive()) {
        FTimer->stop();
        SetStateInternal(lsOff);
    }
    FComPort = Value;
    if (Value) {
        Value->FreeNotification(this);
        Value->RegisterLink(FLink.get());
        if (Value->Connected() && !Designing() && !Loading()) {
            bool on = false;
            try {
                on = IsStateOn();
            } catch (const EComPort& e) {
                // A device without modem lines (a pseudo-terminal): its lines show off, as the
                // port's open reports nothing of them either.
                if (!NoModemLines(e))
                    throw;
            }
            SetStateInternal(on ? lsOn : lsOff);
        }
    } else {
        SetStateInternal(lsOff);
    }
}

void TComLed::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && FComPort && AComponent == static_cast<TComponent*>(FComPort))
        SetComPort(nullptr);
}

void TComLed::SetLedSignal(TComLedSignal Value) {
    if (Value == FLedSignal)
        return;
    FLedSignal = Value;
    FTimer->stop(); // a ring count ends with the ring watch
    TComLink& link = *FLink;
    link.OnLinkConn = nullptr;
    link.OnLinkCTS = nullptr;
    link.OnLinkDSR = nullptr;
    link.OnLinkRLSD = nullptr;
    link.OnLinkRing = nullptr;
    link.OnLinkTx = nullptr;
    link.OnLinkRx = nullptr;
    if (Value == lsRing) {
        link.OnLinkRing = [this](TObject* Sender) { RingDetect(Sender); };
        return;
    }
    TComSignalEvent TComLink::*slot = nullptr;
    switch (Value) {
    case lsConn:
        slot = &TComLink::OnLinkConn;
        break;
    case lsCTS:
        slot = &TComLink::OnLinkCTS;
        break;
    case lsDSR:
        slot = &TComLink::OnLinkDSR;
        break;
    case lsRLSD:
        slot = &TComLink::OnLinkRLSD;
        break;
    case lsRx:
        slot = &TComLink::OnLinkRx;
        break;
    case lsTx:
        slot = &TComLink::OnLinkTx;
        break;
    case lsRing:
        return;
    }
    link.*slot = [this](TObject* Sender, bool OnOff) { SignalChange(Sender, OnOff); };
    // A closed port has no activity, but the port reports only the close: an activity lamp
    // still lit (bytes nobody read, the end of a write lost in the close) goes dark with it.
    if (Value == lsRx || Value == lsTx)
        link.OnLinkConn = [this](TObject* Sender, bool OnOff) {
            if (!OnOff)
                SignalChange(Sender, false);
        };
}

bool TComLed::IsStateOn() {
    switch (FLedSignal) {
    case lsConn:
        return FComPort && FComPort->Connected();
    case lsCTS:
        return FComPort->Signals().contains(csCTS);
    case lsDSR:
        return FComPort->Signals().contains(csDSR);
    case lsRLSD:
        return FComPort->Signals().contains(csRLSD);
    case lsRing:
    case lsRx:
    case lsTx:
        return false;
    }
    return false;
}

// ---- State ------------------------------------------------------------------------------------

void TComLed::SignalChange(TObject*, bool OnOff) {
    OnGuiThread([this, OnOff] {
        SetStateInternal(OnOff ? lsOn : lsOff);
        // Paint the lamp now, even while the program is busy in a long command (a write that
        // lights Tx): repaint only this widget. Processing all pending messages here would run
        // any handler of the program in the middle of the port's callback.
        repaint();
    });
}

void TComLed::RingDetect(TObject*) {
    OnGuiThread([this] {
        // A running count is not restarted: the lamp goes dark RingDuration after the first
        // ring of a burst.
        if (!FTimer->isActive())
            FTimer->start();
        SetStateInternal(lsOn);
    });
}

void TComLed::DoTimer() {
    FTimer->stop();
    SetStateInternal(lsOff);
}

int TComLed::RingDuration() const {
    return FTimer->interval();
}

void TComLed::SetRingDuration(int Value) {
    Value = std::max(Value, 0);
    // Qt restarts a running timer on a new interval.
    if (Value != FTimer->interval())
        FTimer->setInterval(Value);
}

int TComLed::RingRemaining() const {
    return FTimer->isActive() ? FTimer->remainingTime() : -1;
}

void TComLed::SetStateInternal(TLedState Value) {
    FState = Value;
    if (!Loading())
        DoChange(Value);
    update();
}

void TComLed::SetState(TLedState Value) {
    if (FComPort)
        throw EComPort(CError_LedStateFailed);
    SetStateInternal(Value);
}

void TComLed::DoChange(TLedState AState) {
    if (OnChange)
        OnChange(this, AState);
}

// ---- Glyphs -----------------------------------------------------------------------------------

void TComLed::SetKind(TLedKind Value) {
    if (Value == FKind)
        return;
    FKind = Value;
    SelectLedBitmap(Value);
    update();
}

void TComLed::SelectLedBitmap(TLedKind Kind) {
    if (Kind == lkCustom)
        return;
    // Both loaded before either is replaced: a failure leaves the pair as it was.
    QPixmap on = LoadGlyph(Kind, lsOn);
    QPixmap off = LoadGlyph(Kind, lsOff);
    FGlyphs[lsOn] = std::move(on);
    FGlyphs[lsOff] = std::move(off);
}

const QPixmap& TComLed::GetGlyph(int Index) const {
    return FGlyphs[GlyphState(Index)];
}

void TComLed::SetGlyph(int Index, const QPixmap& Bitmap) {
    const TLedState state = GlyphState(Index);
    if (FKind != lkCustom)
        return;
    FGlyphs[state] = TransparentGlyph(Bitmap);
    update();
}

bool TComLed::StoredGlyph(int) const noexcept {
    return FKind == lkCustom;
}

// ---- Painting ---------------------------------------------------------------------------------

void TComLed::BitmapNeeded() {
    if (FGlyphs[lsOn].isNull() || FGlyphs[lsOff].isNull())
        SelectLedBitmap(FKind);
}

QPoint TComLed::CalcBitmapPos() const {
    const QRect client = rect();
    const QPixmap& glyph = FGlyphs[FState];
    const int x = client.left() + std::max(0, (client.width() - glyph.width()) / 2);
    const int y = client.top() + std::max(0, (client.height() - glyph.height()) / 2);
    return {x, y};
}

const QPixmap& TComLed::BitmapToDraw() const {
    return isEnabled() ? FGlyphs[FState] : FGlyphs[lsOff];
}

void TComLed::Paint(QPainter& Painter) {
    BitmapNeeded();
    const QPoint at = CalcBitmapPos();
    const QPixmap& glyph = BitmapToDraw();
    if (!glyph.isNull())
        Painter.drawPixmap(at, glyph);
}

void TComLed::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    CallHandler([&] { Paint(painter); });
}

void TComLed::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::EnabledChange)
        update();
}

} // namespace zv
