// TComLink: how another component observes a port.
//
// A link is a record of callback slots. The observing component (packet framer, terminal, LED)
// owns its link, fills the slots it needs, registers it with a port (RegisterLink) and
// unregisters it when it lets go of the port; the port never frees a link. Sender is always the
// port. An empty slot is skipped.
#pragma once

#include "cport/ComTypes.h"
#include "toolkit/Object.h"

#include <cstdint>
#include <functional>

namespace zv {

// Bytes waiting in the input queue.
using TRxCharEvent = std::function<void(TObject* Sender, std::int32_t Count)>;
// A block of bytes (read-only, valid only during the call) and its length.
using TRxBufEvent = std::function<void(TObject* Sender, const void* Buffer, std::int32_t Count)>;
using TComErrorEvent = std::function<void(TObject* Sender, TComErrors Errors)>;
using TComSignalEvent = std::function<void(TObject* Sender, bool OnOff)>;

// Which slot of a link an announcement goes to.
enum TComLinkEvent : std::uint8_t {
    leConn,
    leCTS,
    leDSR,
    leRLSD,
    leRing,
    leRx,
    leTx,
    leTxEmpty,
    leRxFlag
};

class TComLink : public TObject {
public:
    // true after the port opened and configured the device (before OnAfterOpen); false after
    // the device is closed (before OnAfterClose).
    TComSignalEvent OnLinkConn;
    // A block of received data, read once per wake-up and shared by all links.
    TRxBufEvent OnLinkRxData;
    // The bytes of a completed asynchronous write.
    TRxBufEvent OnLinkTxData;
    TNotifyEvent OnLinkTxEmpty;
    TNotifyEvent OnLinkRxFlag;
    // Line states: at open, at each change, false before close.
    TComSignalEvent OnLinkCTS;
    TComSignalEvent OnLinkDSR;
    TComSignalEvent OnLinkRLSD;
    TNotifyEvent OnLinkRing;
    // true when a write was issued; false when the output queue ran empty.
    TComSignalEvent OnLinkTx;
    // true when bytes arrived; false when a read left the input queue empty.
    TComSignalEvent OnLinkRx;
};

} // namespace zv
