// TCustomComPort: links, the per-event handlers (Call...), the callback dispatchers (Do...), the
// received-data path and the window procedure of the smWindowSync hand-off.
//
// Callbacks are called through a copy of their slot, so a callback may free the object that
// holds the slot (the port, or a link). A handler that runs more than one callback takes a
// TCallbackGuard first and stops as soon as a callback has closed or destroyed the port: nothing of
// the port is touched after that, and no callback of the session runs after OnAfterClose.
#include "cport/ComPort.h"

#include "cport/ComThread.h"
#include "toolkit/Exception.h"

#include <algorithm>
#include <memory>

namespace zv {

// ---- Links -------------------------------------------------------------------------------------

void TCustomComPort::RegisterLink(TComLink* ALink) {
    if (ALink == nullptr || IsRegistered(ALink))
        throw EComPort(CError_LinkRegFailed);
    FLinks.push_back(ALink);
    FRxBufLinked = HasLink();
}

void TCustomComPort::UnRegisterLink(TComLink* ALink) {
    const auto it = std::find(FLinks.begin(), FLinks.end(), ALink);
    if (it == FLinks.end())
        throw EComPort(CError_LinkRegFailed);
    FLinks.erase(it);
    FRxBufLinked = HasLink();
}

bool TCustomComPort::HasLink() const noexcept {
    return std::any_of(FLinks.begin(), FLinks.end(),
                       [](const TComLink* link) { return static_cast<bool>(link->OnLinkRxData); });
}

bool TCustomComPort::IsRegistered(const TComLink* ALink) const noexcept {
    return std::find(FLinks.begin(), FLinks.end(), ALink) != FLinks.end();
}

namespace {

// Calls Visit for each link registered when the walk starts, in registration order. A callback
// may register or unregister links: links added meanwhile wait for the next walk, links removed
// meanwhile are not called (their object may be gone). The walk stops when the port is closed or
// destroyed by a callback.
template <typename Guard, typename Visit>
void ForEachLink(const std::vector<TComLink*>& links, const Guard& guard, Visit visit) {
    const std::vector<TComLink*> snapshot = links;
    for (TComLink* link : snapshot) {
        if (!guard.Live())
            return;
        if (std::find(links.begin(), links.end(), link) == links.end())
            continue;
        visit(*link);
    }
}

// Runs the steps of one handler in order, as long as none of them has closed or destroyed the
// port: nothing of it is touched after that.
template <typename Guard, typename... Step> void InOrder(const Guard& guard, Step&&... steps) {
    (void)((guard.Live() && (steps(), true)) && ...);
}

} // namespace

void TCustomComPort::SendSignalToLink(TComLinkEvent Event, bool OnOff) {
    TComSignalEvent TComLink::*slot = nullptr;
    switch (Event) {
    case leConn:
        slot = &TComLink::OnLinkConn;
        break;
    case leCTS:
        slot = &TComLink::OnLinkCTS;
        break;
    case leDSR:
        slot = &TComLink::OnLinkDSR;
        break;
    case leRLSD:
        slot = &TComLink::OnLinkRLSD;
        break;
    case leRx:
        slot = &TComLink::OnLinkRx;
        break;
    case leTx:
        slot = &TComLink::OnLinkTx;
        break;
    default:
        return;
    }
    if (FLinks.empty())
        return;
    TCallbackGuard guard(this);
    ForEachLink(FLinks, guard, [&](TComLink& link) {
        if (const TComSignalEvent handler = link.*slot)
            handler(this, OnOff);
    });
}

void TCustomComPort::NotifyLink(TComLinkEvent Event) {
    TNotifyEvent TComLink::*slot = nullptr;
    switch (Event) {
    case leRing:
        slot = &TComLink::OnLinkRing;
        break;
    case leTxEmpty:
        slot = &TComLink::OnLinkTxEmpty;
        break;
    case leRxFlag:
        slot = &TComLink::OnLinkRxFlag;
        break;
    default:
        return;
    }
    if (FLinks.empty())
        return;
    TCallbackGuard guard(this);
    ForEachLink(FLinks, guard, [&](TComLink& link) {
        if (const TNotifyEvent handler = link.*slot)
            handler(this);
    });
}

void TCustomComPort::TxNotifyLink(const void* Buffer, std::int32_t Count) {
    if (FLinks.empty())
        return;
    TCallbackGuard guard(this);
    ForEachLink(FLinks, guard, [&](TComLink& link) {
        if (const TRxBufEvent handler = link.OnLinkTxData)
            handler(this, Buffer, Count);
    });
}

// ---- Open and close announcements --------------------------------------------------------------

void TCustomComPort::CallBeforeOpen() {
    DoBeforeOpen();
}

void TCustomComPort::CallAfterOpen() {
    InOrder(
        TCallbackGuard(this), [&] { SendSignalToLink(leConn, true); }, [&] { DoAfterOpen(); },
        [&] { CheckSignals(true); });
}

void TCustomComPort::CallBeforeClose() {
    InOrder(
        TCallbackGuard(this), [&] { CheckSignals(false); }, [&] { DoBeforeClose(); });
}

void TCustomComPort::CallAfterClose() {
    InOrder(
        TCallbackGuard(this), [&] { SendSignalToLink(leConn, false); }, [&] { DoAfterClose(); });
}

void TCustomComPort::CheckSignals(bool Open) {
    TCallbackGuard guard(this);
    if (Open) {
        try {
            CallCTSChange();
        } catch (const EComPort& e) {
            // A device without modem lines has no states to report; that must not turn an open
            // that has succeeded, and been announced, into an exception.
            if (NoModemLines(e))
                return;
            throw;
        }
        InOrder(
            guard, [&] { CallDSRChange(); }, [&] { CallRLSDChange(); });
        return;
    }
    InOrder(
        guard, [&] { SendSignalToLink(leCTS, false); }, [&] { SendSignalToLink(leDSR, false); },
        [&] { SendSignalToLink(leRLSD, false); }, [&] { DoCTSChange(false); },
        [&] { DoDSRChange(false); }, [&] { DoRLSDChange(false); });
}

// ---- Line events -------------------------------------------------------------------------------

void TCustomComPort::CallRxChar() {
    std::int32_t count = QueuedKeepingErrors();
    if (count <= 0)
        return;
    TCallbackGuard guard(this);
    SendSignalToLink(leRx, true);
    if (!guard.Live())
        return;
    if (!TriggersOnRxChar()) {
        // One read per wake-up, of exactly the queued bytes, shared by the port and every link;
        // the block is freed however the callbacks end.
        std::unique_ptr<char[]> block;
        std::int32_t got = 0;
        auto readBlock = [&] {
            block = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(count));
            // Time-outs set by the application may end the read early: only the bytes
            // actually read are handed on.
            got = Read(block.get(), count);
            if (guard.Live() && got > 0)
                DoRxBuf(block.get(), got);
        };
        const std::vector<TComLink*> snapshot = FLinks;
        for (TComLink* link : snapshot) {
            if (!guard.Live())
                return;
            if (!IsRegistered(link) || !link->OnLinkRxData)
                continue;
            if (!block)
                readBlock();
            if (!guard.Live())
                return;
            if (got > 0) {
                const TRxBufEvent handler = link->OnLinkRxData;
                handler(this, block.get(), got);
            }
        }
        if (!guard.Live())
            return;
        if (!block && !FTriggersOnRxChar)
            readBlock();
        if (block)
            count = 0;
    }
    if (count > 0 && guard.Live())
        DoRxChar(count);
}

void TCustomComPort::CallTxEmpty() {
    InOrder(
        TCallbackGuard(this), [&] { SendSignalToLink(leTx, false); },
        [&] { NotifyLink(leTxEmpty); }, [&] { DoTxEmpty(); });
}

void TCustomComPort::CallRxFlag() {
    InOrder(
        TCallbackGuard(this), [&] { NotifyLink(leRxFlag); }, [&] { DoRxFlag(); });
}

void TCustomComPort::CallRing() {
    InOrder(
        TCallbackGuard(this), [&] { NotifyLink(leRing); }, [&] { DoRing(); });
}

void TCustomComPort::CallBreak() {
    DoBreak();
}

void TCustomComPort::CallRx80Full() {
    DoRx80Full();
}

void TCustomComPort::CallError() {
    const TComErrors errors = LastErrors();
    if (!errors.empty())
        DoError(errors);
}

void TCustomComPort::CallCTSChange() {
    const bool on = Signals().contains(csCTS);
    InOrder(
        TCallbackGuard(this), [&] { SendSignalToLink(leCTS, on); }, [&] { DoCTSChange(on); });
}

void TCustomComPort::CallDSRChange() {
    const bool on = Signals().contains(csDSR);
    InOrder(
        TCallbackGuard(this), [&] { SendSignalToLink(leDSR, on); }, [&] { DoDSRChange(on); });
}

void TCustomComPort::CallRLSDChange() {
    const bool on = Signals().contains(csRLSD);
    InOrder(
        TCallbackGuard(this), [&] { SendSignalToLink(leRLSD, on); }, [&] { DoRLSDChange(on); });
}

// ---- The window hand-off -----------------------------------------------------------------------

void TCustomComPort::WindowMethod(TMessage& Message) {
    if (Message.Msg != CM_COMPORT_EVENT) {
        Message.Result = DefWindowProcA(FWindow, Message.Msg, Message.WParam, Message.LParam);
        return;
    }
    // Release the event thread at once: it may wait for the next line event while this one is
    // handled here.
    if (InSendMessage())
        ReplyMessage(0);
    if (!FConnected || Closing())
        return; // the port was closed meanwhile
    // The parameter is the event's EV_* bit; any other value is ignored.
    const auto handler =
        std::find_if(EventOrder.begin(), EventOrder.end(),
                     [&](const TEventHandler& h) { return h.Mask == Message.WParam; });
    if (handler == EventOrder.end())
        return;
    try {
        (this->*handler->Call)();
    } catch (...) {
        HandleCurrentExceptionQuietly();
    }
}

// ---- Callback dispatchers ----------------------------------------------------------------------

void TCustomComPort::DoAfterClose() {
    if (const auto handler = OnAfterClose)
        handler(this);
}
void TCustomComPort::DoAfterOpen() {
    if (const auto handler = OnAfterOpen)
        handler(this);
}
void TCustomComPort::DoBeforeClose() {
    if (const auto handler = OnBeforeClose)
        handler(this);
}
void TCustomComPort::DoBeforeOpen() {
    if (const auto handler = OnBeforeOpen)
        handler(this);
}
void TCustomComPort::DoRxChar(std::int32_t Count) {
    if (const auto handler = OnRxChar)
        handler(this, Count);
}
void TCustomComPort::DoRxBuf(const void* Buffer, std::int32_t Count) {
    if (const auto handler = OnRxBuf)
        handler(this, Buffer, Count);
}
void TCustomComPort::DoTxEmpty() {
    if (const auto handler = OnTxEmpty)
        handler(this);
}
void TCustomComPort::DoBreak() {
    if (const auto handler = OnBreak)
        handler(this);
}
void TCustomComPort::DoRing() {
    if (const auto handler = OnRing)
        handler(this);
}
void TCustomComPort::DoRxFlag() {
    if (const auto handler = OnRxFlag)
        handler(this);
}
void TCustomComPort::DoCTSChange(bool OnOff) {
    if (const auto handler = OnCTSChange)
        handler(this, OnOff);
}
void TCustomComPort::DoDSRChange(bool OnOff) {
    if (const auto handler = OnDSRChange)
        handler(this, OnOff);
}
void TCustomComPort::DoError(TComErrors Errors) {
    if (const auto handler = OnError)
        handler(this, Errors);
}
void TCustomComPort::DoRLSDChange(bool OnOff) {
    if (const auto handler = OnRLSDChange)
        handler(this, OnOff);
}
void TCustomComPort::DoRx80Full() {
    if (const auto handler = OnRx80Full)
        handler(this);
}

} // namespace zv
