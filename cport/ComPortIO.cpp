// TCustomComPort: reads and writes, waiting for line events, queue counts, status and line
// control. None of these checks Connected: on a closed port the call reaches the system with the
// invalid handle and fails with the system's invalid-handle code.
#include "cport/ComPort.h"

#include <algorithm>
#include <cstring>

namespace zv {

namespace {

// The error code that reports a failed completion of an operation of this kind.
std::int32_t FailureCode(TOperationKind kind) {
    return kind == okRead ? CError_ReadFailed : CError_WriteFailed;
}

// Owns an event handle for the length of a scope.
class TEventHandle {
public:
    explicit TEventHandle(HANDLE Event) : FEvent(Event) {}
    ~TEventHandle() {
        if (FEvent != nullptr)
            CloseHandle(FEvent);
    }
    TEventHandle(const TEventHandle&) = delete;
    TEventHandle& operator=(const TEventHandle&) = delete;
    HANDLE Get() const noexcept { return FEvent; }

private:
    HANDLE FEvent;
};

} // namespace

// ---- Asynchronous transfers --------------------------------------------------------------------

std::int32_t TCustomComPort::WriteAsync(const void* Buffer, std::int32_t Count, PAsync AsyncPtr) {
    // A negative count, or bytes without a buffer, would have the device read wild memory.
    if (AsyncPtr == nullptr || Count < 0 || (Buffer == nullptr && Count > 0))
        throw EComPort(CError_InvalidAsync);
    AsyncPtr->OperationKind = okWrite;
    AsyncPtr->WriteCopy.reset();
    AsyncPtr->WriteCopySize = Count;
    if (Count > 0) {
        AsyncPtr->WriteCopy = std::make_unique<char[]>(static_cast<std::size_t>(Count));
        std::memcpy(AsyncPtr->WriteCopy.get(), Buffer, static_cast<std::size_t>(Count));
    }
    // The links hear "transmitting" before the device starts: a write that drains at once
    // raises evTxEmpty on the event thread, and its "transmission off" must come second.
    TCallbackGuard guard(this);
    SendSignalToLink(leTx, true);
    if (!guard.Alive())
        throw EComPort(CError_WriteFailed, ERROR_INVALID_HANDLE); // a link callback freed the port
    DWORD written = 0;
    if (!WriteFile(FHandle, Buffer, static_cast<DWORD>(Count), &written,
                   &AsyncPtr->OverlappedRec)) {
        const std::int32_t error = LastOsError();
        if (error != ERROR_IO_PENDING) {
            SendSignalToLink(leTx, false); // nothing is being transmitted after all
            throw EComPort(CError_WriteFailed, error);
        }
    }
    return static_cast<std::int32_t>(written);
}

std::int32_t TCustomComPort::WriteStrAsync(const std::string& Str, PAsync AsyncPtr) {
    if (Str.empty())
        return 0;
    return WriteAsync(Str.data(), static_cast<std::int32_t>(Str.size()), AsyncPtr);
}

std::int32_t TCustomComPort::ReadAsync(void* Buffer, std::int32_t Count, PAsync AsyncPtr) {
    if (AsyncPtr == nullptr || Count < 0 || (Buffer == nullptr && Count > 0))
        throw EComPort(CError_InvalidAsync);
    AsyncPtr->OperationKind = okRead;
    DWORD read = 0;
    if (!ReadFile(FHandle, Buffer, static_cast<DWORD>(Count), &read, &AsyncPtr->OverlappedRec)) {
        const std::int32_t error = LastOsError();
        if (error != ERROR_IO_PENDING)
            throw EComPort(CError_ReadFailed, error);
    }
    return static_cast<std::int32_t>(read);
}

std::int32_t TCustomComPort::ReadStrAsync(std::string& Str, std::int32_t Count, PAsync AsyncPtr) {
    Str.assign(Count > 0 ? static_cast<std::size_t>(Count) : 0u, '\0');
    if (Count <= 0)
        return 0;
    return ReadAsync(Str.data(), Count, AsyncPtr);
}

// ---- Completion --------------------------------------------------------------------------------

std::int32_t TCustomComPort::WaitForAsync(PAsync AsyncPtr) {
    if (AsyncPtr == nullptr)
        throw EComPort(CError_InvalidAsync);
    DWORD transferred = 0;
    const bool ok = WaitForSingleObject(AsyncPtr->OverlappedRec.hEvent, INFINITE) != WAIT_FAILED &&
                    GetOverlappedResult(FHandle, &AsyncPtr->OverlappedRec, &transferred, FALSE);
    if (!ok) {
        const EComPort error(FailureCode(AsyncPtr->OperationKind), LastOsError());
        if (AsyncPtr->OperationKind == okWrite)
            WriteEndedEarly(); // aborted, or the device failed
        throw error;
    }
    if (AsyncPtr->OperationKind == okRead) {
        // The queue only decides the links' reception signal: a device gone since the read
        // completed must not cost the caller the bytes already in its buffer.
        std::int32_t queued = 0;
        try {
            queued = QueuedKeepingErrors();
        } catch (const EComPort&) {
        }
        if (queued == 0)
            SendSignalToLink(leRx, false);
    } else if (AsyncPtr->WriteCopy != nullptr) {
        // Only a write reports its bytes, and only those that left: a read on a record that
        // once wrote must not announce that write's bytes again, nor a write its time-out cut
        // short the bytes it did not send.
        const auto sent = std::min(static_cast<std::int32_t>(transferred), AsyncPtr->WriteCopySize);
        TCallbackGuard guard(this);
        if (sent > 0)
            TxNotifyLink(AsyncPtr->WriteCopy.get(), sent);
        if (sent < AsyncPtr->WriteCopySize && guard.Live())
            WriteEndedEarly(); // its time-out cut it short
    }
    return static_cast<std::int32_t>(transferred);
}

void TCustomComPort::WriteEndedEarly() {
    // Only a write that drains raises evTxEmpty, which puts the links' transmission signal out.
    // One that was aborted or timed out ends without it: unless another write is still queued,
    // the line is quiet now and the links hear so here.
    try {
        const std::int32_t queued = OutQueuedKeepingErrors();
        if (queued > 0)
            return;
    } catch (const EComPort&) {
        // A device that cannot say has nothing going out either.
    }
    SendSignalToLink(leTx, false);
}

bool TCustomComPort::IsAsyncCompleted(PAsync AsyncPtr) {
    if (AsyncPtr == nullptr)
        throw EComPort(CError_InvalidAsync);
    DWORD transferred = 0;
    if (GetOverlappedResult(FHandle, &AsyncPtr->OverlappedRec, &transferred, FALSE))
        return true;
    const std::int32_t error = LastOsError();
    if (error == ERROR_IO_PENDING || error == ERROR_IO_INCOMPLETE)
        return false;
    throw EComPort(CError_AsyncStatusFailed, error);
}

void TCustomComPort::AbortAllAsync() {
    if (!PurgeComm(FHandle, PURGE_TXABORT | PURGE_RXABORT))
        throw EComPort(CError_PurgeFailed, LastOsError());
}

// ---- Synchronous forms -------------------------------------------------------------------------

std::int32_t TCustomComPort::Write(const void* Buffer, std::int32_t Count) {
    TAsyncHolder record;
    WriteAsync(Buffer, Count, record.Get());
    return WaitForAsync(record.Get());
}

std::int32_t TCustomComPort::WriteStr(const std::string& Str) {
    if (Str.empty())
        return 0;
    TAsyncHolder record;
    WriteStrAsync(Str, record.Get());
    return WaitForAsync(record.Get());
}

std::int32_t TCustomComPort::Read(void* Buffer, std::int32_t Count) {
    TAsyncHolder record;
    ReadAsync(Buffer, Count, record.Get());
    return WaitForAsync(record.Get());
}

std::int32_t TCustomComPort::ReadStr(std::string& Str, std::int32_t Count) {
    TAsyncHolder record;
    ReadStrAsync(Str, Count, record.Get());
    const std::int32_t read = WaitForAsync(record.Get());
    Str.resize(static_cast<std::size_t>(read));
    return read;
}

// ---- Waiting for line events without the event thread -----------------------------------------

void TCustomComPort::WaitForEvent(TComEvents& Events, HANDLE StopEvent, std::int32_t Timeout) {
    if (ThreadCreated())
        throw EComPort(CError_WaitWithThread);
    TEventHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (event.Get() == nullptr)
        throw EComPort(CError_WaitEventFailed, LastOsError());
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    const HANDLE handles[2] = {event.Get(), StopEvent};
    const DWORD handleCount = StopEvent != nullptr ? 2 : 1;

    DWORD mask = 0;
    std::int32_t error = 0;
    SetCommMask(FHandle, ComEventsToMask(Events));
    bool pending = false;
    if (WaitCommEvent(FHandle, &mask, &overlapped)) {
        // Completed at once: the event is set.
    } else if ((error = LastOsError()) == ERROR_IO_PENDING) {
        pending = true;
        error = 0;
    }
    if (error == 0) {
        const DWORD result =
            WaitForMultipleObjects(handleCount, handles, FALSE, static_cast<DWORD>(Timeout));
        if (result == WAIT_FAILED)
            error = LastOsError();
        else if (result == WAIT_OBJECT_0)
            pending = false;
    }
    // Mask 0 ends a wait still pending. The device writes `mask` and `overlapped` when it
    // completes, so the wait must be over before either goes out of scope.
    SetCommMask(FHandle, 0);
    if (pending) {
        DWORD transferred = 0;
        GetOverlappedResult(FHandle, &overlapped, &transferred, TRUE);
    }
    if (error != 0)
        throw EComPort(CError_WaitEventFailed, error);
    Events = MaskToComEvents(mask);
}

void TCustomComPort::TransmitChar(char Ch) {
    if (!TransmitCommChar(FHandle, Ch))
        throw EComPort(CError_TransmitCharFailed, LastOsError());
}

// ---- Queue counts and status -------------------------------------------------------------------

namespace {

struct TCommState {
    DWORD Errors = 0;
    COMSTAT Stat{};
};

TCommState ReadCommState(HANDLE Handle) {
    TCommState state;
    if (!ClearCommError(Handle, &state.Errors, &state.Stat))
        throw EComPort(CError_ClearCommFailed, LastOsError());
    return state;
}

} // namespace

std::int32_t TCustomComPort::InputCount() {
    return static_cast<std::int32_t>(ReadCommState(FHandle).Stat.cbInQue);
}

std::int32_t TCustomComPort::QueuedKeepingErrors() {
    const TCommState state = ReadCommState(FHandle);
    FKeptErrors.fetch_or(state.Errors);
    return static_cast<std::int32_t>(state.Stat.cbInQue);
}

std::int32_t TCustomComPort::OutQueuedKeepingErrors() {
    const TCommState state = ReadCommState(FHandle);
    FKeptErrors.fetch_or(state.Errors);
    return static_cast<std::int32_t>(state.Stat.cbOutQue);
}

std::int32_t TCustomComPort::OutputCount() {
    return static_cast<std::int32_t>(ReadCommState(FHandle).Stat.cbOutQue);
}

TComStatusFlags TCustomComPort::StateFlags() {
    const TCommState state = ReadCommState(FHandle);
    DWORD flags = 0;
    std::memcpy(&flags, &state.Stat, sizeof flags); // the flag word leads the record
    return TComStatusFlags::FromBits(static_cast<std::uint8_t>(flags & 0xFFu));
}

TComErrors TCustomComPort::LastErrors() {
    const DWORD errors = ReadCommState(FHandle).Errors | FKeptErrors.exchange(0);
    return ErrorFlagsToComErrors(errors, FParity->Check());
}

TComSignals TCustomComPort::Signals() {
    DWORD status = 0;
    if (!GetCommModemStatus(FHandle, &status))
        throw EComPort(CError_ModemStatusFailed, LastOsError());
    return ModemStatusToComSignals(status);
}

// ---- Line control ------------------------------------------------------------------------------

namespace {

void Escape(HANDLE Handle, DWORD Function) {
    if (!EscapeCommFunction(Handle, Function))
        throw EComPort(CError_EscapeCommFailed, LastOsError());
}

} // namespace

void TCustomComPort::SetBreak(bool OnOff) {
    Escape(FHandle, OnOff ? SETBREAK : CLRBREAK);
}

void TCustomComPort::SetDTR(bool OnOff) {
    Escape(FHandle, OnOff ? SETDTR : CLRDTR);
}

void TCustomComPort::SetRTS(bool OnOff) {
    Escape(FHandle, OnOff ? SETRTS : CLRRTS);
}

void TCustomComPort::SetXonXoff(bool OnOff) {
    Escape(FHandle, OnOff ? SETXON : SETXOFF);
}

void TCustomComPort::ClearBuffer(bool Input, bool Output) {
    DWORD flags = 0;
    if (Input)
        flags |= PURGE_RXCLEAR;
    if (Output)
        flags |= PURGE_TXCLEAR;
    if (!PurgeComm(FHandle, flags))
        throw EComPort(CError_PurgeFailed, LastOsError());
}

} // namespace zv
