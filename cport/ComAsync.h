// TAsync: the record of one overlapped read or write on a port.
//
// InitAsync creates a record, the port's WriteAsync/ReadAsync start an operation on it,
// WaitForAsync collects the result, DoneAsync frees it. One record serves one pending operation
// at a time and may be reused once that operation has been waited for. The caller's buffer must
// stay valid until then: the device reads from it (write) or fills it (read) in the background.
#pragma once

#include "cport/ComSet.h"
#include "platform/win32.h"

#include <cstdint>
#include <memory>

namespace zv {

enum TOperationKind : std::uint8_t { okWrite, okRead };

struct TAsync {
    // Its event is a manual-reset event owned by the record, created signalled, so waiting on a
    // record on which nothing was started returns at once with 0 bytes.
    OVERLAPPED OverlappedRec{};
    TOperationKind OperationKind = okWrite;
    // A copy of the bytes of the last write started on the record (for the links' view of
    // transmitted data); none for reads.
    std::unique_ptr<char[]> WriteCopy;
    std::int32_t WriteCopySize = 0;
};
using PAsync = TAsync*;

// Allocates a zero-filled record with its event. Raises EComPort code 4 with the system code
// when the event cannot be created (AsyncPtr is then nullptr).
void InitAsync(PAsync& AsyncPtr);
// Closes the event, frees the record and sets AsyncPtr to nullptr; nullptr is ignored. Must not
// be called while an operation on the record is pending.
void DoneAsync(PAsync& AsyncPtr) noexcept;

// Owns a record for the length of a scope (the synchronous reads and writes).
class TAsyncHolder {
public:
    TAsyncHolder() { InitAsync(FAsync); }
    ~TAsyncHolder() { DoneAsync(FAsync); }
    TAsyncHolder(const TAsyncHolder&) = delete;
    TAsyncHolder& operator=(const TAsyncHolder&) = delete;
    PAsync Get() const noexcept { return FAsync; }
    // Gives the record up without freeing it: for an operation that could be neither ended nor
    // waited for, which the device may still complete into it.
    void Abandon() noexcept { FAsync = nullptr; }

private:
    PAsync FAsync = nullptr;
};

// The device's status flags: the low 8 bits of COMSTAT's flag word, bit for bit (bit 7 is
// reserved by the platform).
enum TComStatusFlag : std::uint8_t {
    sfCTSHold,  // transmission waits for CTS
    sfDSRHold,  // waits for DSR
    sfRLSDHold, // waits for RLSD
    sfXoffHold, // held by a received XOFF
    sfXoffSent, // XOFF was sent
    sfEof,      // the end-of-file character was received
    sfTxim      // a character queued by TransmitChar waits to be sent
};
using TComStatusFlags = TSet<TComStatusFlag, std::uint8_t, 8>;

} // namespace zv
