// The comm driver core and the Win32 communications calls on top of it.
#include "platform/posix/CommDevice.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <unistd.h>

namespace zv::win32 {
namespace {

constexpr std::size_t kDefaultInputQueue = 4096;
// The block in which the driver takes bytes from the device, and the least it holds for the
// program when no input flow control asks for the exact queue size (see CommDevice::Setup).
constexpr std::size_t kScratchSize = 64 * 1024;
constexpr std::size_t kLeastHeld = kScratchSize;
constexpr DWORD kMaxInputQueue = 64u * 1024 * 1024;
constexpr DWORD kValidEvents = 0x1FFF;
// The events a thread watching the device's input can bring about (see CommDevice::WatchOnce).
constexpr DWORD kInputEvents = EV_RXCHAR | EV_RXFLAG | EV_RX80FULL | EV_ERR | EV_BREAK;
constexpr DWORD kValidPurge = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// How long after the last watch the service thread still leaves the input to the watchers.
constexpr auto kWatchGrace = std::chrono::milliseconds(50);
// A watch that takes at least this much finds a stream flowing (see CommDevice::WatchOnce).
constexpr std::size_t kStreamBlock = 1024;

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

// multiplier * n + constant milliseconds, kept far from overflow.
std::optional<Clock::time_point> TotalDeadline(Clock::time_point now, DWORD multiplier,
                                               DWORD constant, DWORD n) {
    if (multiplier == 0 && constant == 0)
        return std::nullopt;
    std::uint64_t ms = static_cast<std::uint64_t>(multiplier) * n + constant;
    ms = std::min<std::uint64_t>(ms, 1ull << 40);
    return now + std::chrono::milliseconds(ms);
}

} // namespace

DCB DefaultDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

unsigned HalfBitsPerCharacter(const DCB& dcb) {
    unsigned half = 2u * (1u + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1u : 0u));
    half += dcb.StopBits == TWOSTOPBITS ? 4u : dcb.StopBits == ONE5STOPBITS ? 3u : 2u;
    return half;
}

std::chrono::nanoseconds CharacterTime(const DCB& dcb) {
    const std::uint64_t baud = dcb.BaudRate == 0 ? 9600 : dcb.BaudRate;
    return std::chrono::nanoseconds(HalfBitsPerCharacter(dcb) * 500'000'000ull / baud);
}

timespec* PollTimeout(std::optional<Clock::time_point> deadline, timespec& ts) {
    if (!deadline)
        return nullptr;
    auto left = *deadline - Clock::now();
    if (left < Clock::duration::zero())
        left = Clock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return &ts;
}

CommDevice::CommDevice(std::unique_ptr<CommBackend> backend, bool overlapped)
    : backend_(std::move(backend)), overlapped_(overlapped) {}

CommDevice::~CommDevice() {
    Close();
}

DWORD CommDevice::Start() {
    MutexLock lock(mutex_);
    scratch_.assign(kScratchSize, 0);
    inSize_ = kDefaultInputQueue;
    dcb_ = backend_->InitialDcb();
    ResizeQueue();
    if (DWORD e = backend_->Configure(dcb_))
        return e;
    ApplyLines(dcb_);
    haveCounters_ = backend_->ReadCounters(counters_);
    started_ = true;
    service_ = std::thread([this] { ServiceLoop(); });
    lock.Unlock();
    backend_->Start();
    return 0;
}

void CommDevice::Close() {
    {
        MutexLock lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        stopping_ = true;
        // Closing the handle cancels what is still pending, as on Win32.
        AbortReads(ERROR_OPERATION_ABORTED);
        AbortWrites(ERROR_OPERATION_ABORTED);
        AbortWait(ERROR_OPERATION_ABORTED);
        // A watcher blocked on the device leaves at once (its event may have been closed, so
        // the completion above need not have reached it); the device is released after it.
        for (const int fd : watchFds_)
            SignalEventFd(fd);
        while (!watchFds_.empty())
            watchersLeft_.wait(lock.Native());
    }
    backend_->Kick();
    if (service_.joinable())
        service_.join();
    backend_->Close();
}

BOOL CommDevice::CheckUsable() {
    if (closed_)
        return Fail(ERROR_INVALID_HANDLE);
    if (deadError_ != 0)
        return Fail(static_cast<LONG>(deadError_));
    return TRUE;
}

namespace {

// The end of a call on a handle opened without FILE_FLAG_OVERLAPPED (or made without a record):
// waits for the operation the call started, without the driver's lock.
BOOL FinishSync(OVERLAPPED& ov, DWORD* done) {
    WaitForCompletion(&ov);
    DWORD error = 0;
    DWORD count = 0;
    ReadOverlapped(&ov, error, count);
    if (done != nullptr)
        *done = count;
    if (error != 0)
        return Fail(static_cast<LONG>(error));
    return TRUE;
}

} // namespace

// ---- reading ----------------------------------------------------------------------------

BOOL CommDevice::Read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (done != nullptr)
        *done = 0;
    if (abortLatched_)
        return Fail(ERROR_OPERATION_ABORTED);
    const bool sync = !overlapped_ || ov == nullptr;
    OVERLAPPED local{};
    OVERLAPPED* rec = sync ? &local : ov;
    if (rec->hEvent != nullptr)
        ResetEventHandle(rec->hEvent);
    if (count == 0) {
        // Done at once, also while other reads wait: it has nothing to wait for.
        CompleteOverlapped(rec, 0, 0);
        return TRUE;
    }
    MarkPending(rec);
    PendingRead r{};
    r.ov = rec;
    r.buffer = static_cast<std::uint8_t*>(buffer);
    r.want = count;
    reads_.push_back(r);
    // While the queue is full the service thread does not listen to the device; a read that
    // makes room must wake it, or reception stalls for good.
    const bool wasFull = InputFree() == 0;
    const auto now = Clock::now();
    ServiceReads(now);
    DWORD error = 0;
    DWORD got = 0;
    // A read the queue fills completely is done; only one that is still short asks the
    // device for what has come since.
    if (!ReadOverlapped(rec, error, got) || got < count) {
        TakeInputForCall();
        ServiceReads(now);
    }
    if (ReadOverlapped(rec, error, got)) {
        if (wasFull && InputFree() > 0)
            backend_->Kick();
        if (done != nullptr)
            *done = got;
        return error == 0 ? TRUE : Fail(static_cast<LONG>(error));
    }
    // The service thread takes over. It needs waking only for a time-out to watch, or for room
    // in a queue that was full (it does not listen to the device while the queue is full);
    // otherwise it is listening already and completes the read when bytes come.
    if (wasFull || NextDeadline())
        backend_->Kick();
    else
        ListenAgainIfDeaf();
    if (sync) {
        lock.Unlock();
        return FinishSync(local, done);
    }
    return Fail(ERROR_IO_PENDING);
}

std::size_t CommDevice::TakeFromQueue(std::uint8_t* out, std::size_t max) {
    std::size_t n = std::min(max, inCount_);
    const std::size_t size = inQueue_.size();
    std::size_t first = std::min(n, size - inHead_);
    if (n > 0) {
        std::memcpy(out, inQueue_.data() + inHead_, first);
        std::memcpy(out + first, inQueue_.data(), n - first);
    }
    inHead_ = (inHead_ + n) % size;
    inCount_ -= n;
    if (inCount_ * 5 < inSize_ * 4)
        rx80Raised_ = false;
    return n;
}

// EV_RX80FULL once when the queue reaches 80 % of the size the program asked for; again only
// after it has dropped below.
DWORD CommDevice::Rx80Full() {
    if (rx80Raised_ || inCount_ * 5 < inSize_ * 4)
        return 0;
    rx80Raised_ = true;
    return EV_RX80FULL;
}

void CommDevice::ServiceReads(Clock::time_point now) {
    while (!reads_.empty()) {
        PendingRead& r = reads_.front();
        if (!r.started) {
            // Time-outs start when the read becomes the current one.
            r.started = true;
            const COMMTIMEOUTS& t = timeouts_;
            if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                t.ReadTotalTimeoutConstant == 0) {
                r.returnAtOnce = true;
            } else if (t.ReadIntervalTimeout == MAXDWORD &&
                       t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant > 0 &&
                       t.ReadTotalTimeoutConstant < MAXDWORD) {
                r.firstByteReturns = true;
                r.totalDeadline = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
            } else {
                r.totalDeadline = TotalDeadline(now, t.ReadTotalTimeoutMultiplier,
                                                t.ReadTotalTimeoutConstant, r.want);
                if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD)
                    r.interval = t.ReadIntervalTimeout;
            }
        }
        std::size_t took = TakeFromQueue(r.buffer + r.got, r.want - r.got);
        r.got += static_cast<DWORD>(took);
        if (took > 0)
            UpdateDtrHandshake();
        // The interval timer starts at the first byte and restarts with every byte.
        if (took > 0 && r.interval != 0)
            r.intervalDeadline = now + std::chrono::milliseconds(r.interval);
        const bool done = r.got == r.want || r.returnAtOnce || (r.firstByteReturns && r.got > 0) ||
                          (r.totalDeadline && now >= *r.totalDeadline) ||
                          (r.intervalDeadline && now >= *r.intervalDeadline);
        if (!done)
            return;
        // A time-out is success with a short count.
        CompleteRead(r, 0);
        reads_.pop_front();
    }
}

void CommDevice::CompleteRead(PendingRead& r, DWORD error) {
    CompleteOverlapped(r.ov, error, r.got);
}

void CommDevice::AbortReads(DWORD error) {
    for (PendingRead& r : reads_)
        CompleteRead(r, error);
    reads_.clear();
}

// ---- input from the device --------------------------------------------------------------

bool CommDevice::DsrLow() {
    DWORD status = 0;
    return backend_->GetModemStatus(status) == 0 && !(status & MS_DSR_ON);
}

// DTR handshake: DTR drops when fewer than XoffLim bytes are free in the input queue and rises
// again when no more than XonLim bytes are queued.
void CommDevice::UpdateDtrHandshake() {
    if (dcb_.fDtrControl != DTR_CONTROL_HANDSHAKE)
        return;
    const std::size_t size = inSize_;
    const std::size_t xoff = std::min<std::size_t>(dcb_.XoffLim, size - 1);
    if (!dtrThrottled_ && InputFree() <= xoff) {
        dtrThrottled_ = true;
        backend_->SetDtr(false);
    } else if (dtrThrottled_ && inCount_ <= dcb_.XonLim) {
        dtrThrottled_ = false;
        backend_->SetDtr(true);
    }
}

void CommDevice::TakeInput() {
    if (deadError_ != 0 || closed_)
        return;
    // The events of one batch of input are raised together, so that a wait sees a byte with a
    // line error as EV_ERR | EV_RXCHAR, not as two wake-ups.
    collecting_ = true;
    TakeInputBatch();
    collecting_ = false;
    const DWORD events = collected_;
    collected_ = 0;
    Raise(events);
    UpdateDtrHandshake();
}

// What a call (ClearCommError, ReadFile, WaitCommEvent) takes from the device before it answers
// from the queue. A device read empty very recently (FreshInputTime) is not asked again: each
// question is a system call on the event path. A read that came back short with a few bytes
// emptied the device too (sparse input: the event of one byte). One that delivered a large
// block is asked again, since a stream goes on and the call should take as much as it can.
void CommDevice::TakeInputForCall() {
    if (drainedAt_ && Clock::now() - *drainedAt_ < backend_->FreshInputTime())
        return;
    TakeInput();
    // The bytes go to a pending read first, as they would had the service thread taken them.
    if (!reads_.empty()) {
        ServiceReads(Clock::now());
        WakeServiceForDeadline();
    }
}

void CommDevice::TakeInputBatch() {
    drainedAt_.reset();
    for (;;) {
        const std::size_t room = InputFree();
        if (room == 0)
            return;
        const std::size_t capacity = std::min(room, scratch_.size());
        marks_.clear();
        DWORD error = 0;
        long n = backend_->Receive(scratch_.data(), capacity, marks_, error);
        if (n < 0) {
            Hangup(error != 0 ? error : static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
            return;
        }
        if (n == 0 && marks_.empty()) {
            drainedAt_ = Clock::now();
            return;
        }
        if (dcb_.fDsrSensitivity && DsrLow())
            continue; // fDsrSensitivity: bytes are ignored while DSR is off
        StoreInput(scratch_.data(), static_cast<std::size_t>(n), marks_);
        if (static_cast<std::size_t>(n) < capacity && marks_.empty()) {
            if (static_cast<std::size_t>(n) < kStreamBlock)
                drainedAt_ = Clock::now();
            return;
        }
    }
}

void CommDevice::StoreInput(const std::uint8_t* data, std::size_t count,
                            const std::vector<RxMark>& marks) {
    const std::size_t size = inQueue_.size();
    if (marks.empty() && !dcb_.fNull) {
        // The common case: plain bytes, copied in at most two pieces.
        std::size_t tail = (inHead_ + inCount_) % size;
        std::size_t first = std::min(count, size - tail);
        std::memcpy(inQueue_.data() + tail, data, first);
        std::memcpy(inQueue_.data(), data + first, count - first);
        inCount_ += count;
        DWORD events = count > 0 ? EV_RXCHAR : 0;
        if ((mask_ & EV_RXFLAG) &&
            std::memchr(data, static_cast<unsigned char>(dcb_.EvtChar), count) != nullptr)
            events |= EV_RXFLAG;
        Raise(events | Rx80Full());
        return;
    }
    std::size_t m = 0;
    for (std::size_t i = 0; i <= count; ++i) {
        bool parity = false;
        bool frame = false;
        for (; m < marks.size() && marks[m].pos == i; ++m) {
            switch (marks[m].kind) {
            case RxMarkKind::Parity:
                parity = true;
                break;
            case RxMarkKind::Frame:
                frame = true;
                break;
            case RxMarkKind::Break:
                AddError(CE_BREAK);
                Raise(EV_BREAK);
                break;
            case RxMarkKind::Overrun:
                AddError(CE_OVERRUN);
                break;
            case RxMarkKind::RxOver:
                AddError(CE_RXOVER);
                break;
            case RxMarkKind::LateParity:
                if (dcb_.fParity)
                    AddError(CE_RXPARITY);
                break;
            case RxMarkKind::LateFrame:
                AddError(CE_FRAME);
                break;
            }
        }
        if (i == count)
            break;
        std::uint8_t byte = data[i];
        if (parity && dcb_.fParity) {
            AddError(CE_RXPARITY);
            if (dcb_.fErrorChar)
                byte = static_cast<std::uint8_t>(dcb_.ErrorChar);
        }
        if (frame)
            AddError(CE_FRAME);
        StoreByte(byte);
    }
}

void CommDevice::StoreByte(std::uint8_t byte) {
    if (dcb_.fNull && byte == 0)
        return;
    const std::size_t size = inQueue_.size();
    if (inCount_ == size) {
        AddError(CE_RXOVER); // cannot happen: the driver takes no more than fits
        return;
    }
    inQueue_[(inHead_ + inCount_) % size] = byte;
    ++inCount_;
    DWORD events = EV_RXCHAR;
    if (byte == static_cast<std::uint8_t>(dcb_.EvtChar))
        events |= EV_RXFLAG;
    Raise(events | Rx80Full());
}

void CommDevice::AddError(DWORD ceFlags) {
    errors_ |= ceFlags;
    if (ceFlags & (CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_RXOVER))
        Raise(EV_ERR);
    if (dcb_.fAbortOnError && !abortLatched_) {
        // Until ClearCommError, reads and writes are refused.
        abortLatched_ = true;
        AbortReads(ERROR_OPERATION_ABORTED);
        AbortWrites(ERROR_OPERATION_ABORTED);
    }
}

// ---- writing ----------------------------------------------------------------------------

BOOL CommDevice::Write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (done != nullptr)
        *done = 0;
    if (abortLatched_)
        return Fail(ERROR_OPERATION_ABORTED);
    const bool sync = !overlapped_ || ov == nullptr;
    OVERLAPPED local{};
    OVERLAPPED* rec = sync ? &local : ov;
    if (rec->hEvent != nullptr)
        ResetEventHandle(rec->hEvent);
    if (count == 0) {
        CompleteOverlapped(rec, 0, 0);
        return TRUE;
    }
    MarkPending(rec);
    PendingWrite w{};
    w.ov = rec;
    w.data = static_cast<const std::uint8_t*>(buffer);
    w.length = count;
    writes_.push_back(w);
    ServiceWrites(Clock::now());
    DWORD error = 0;
    DWORD sent = 0;
    if (ReadOverlapped(rec, error, sent)) {
        if (done != nullptr)
            *done = sent;
        return error == 0 ? TRUE : Fail(static_cast<LONG>(error));
    }
    backend_->Kick();
    if (sync) {
        lock.Unlock();
        return FinishSync(local, done);
    }
    return Fail(ERROR_IO_PENDING);
}

void CommDevice::ServiceWrites(Clock::time_point now) {
    drainCheck_.reset();
    while (!writes_.empty() && deadError_ == 0) {
        PendingWrite& w = writes_.front();
        if (!w.started) {
            w.started = true;
            w.deadline = TotalDeadline(now, timeouts_.WriteTotalTimeoutMultiplier,
                                       timeouts_.WriteTotalTimeoutConstant, w.length);
            if (dcb_.fRtsControl == RTS_CONTROL_TOGGLE && !rtsToggleOn_) {
                rtsToggleOn_ = true;
                backend_->SetRts(true);
            }
        }
        // Only the current write's bytes go to the device, so that a time-out can flush the
        // device's queue without touching the next write.
        // fOutxDsrFlow: nothing more goes out while DSR is off (a tty has no such switch).
        const bool dsrHold = dcb_.fOutxDsrFlow && DsrLow();
        while (w.pushed < w.length && !dsrHold) {
            DWORD error = 0;
            long n = backend_->Send(w.data + w.pushed, w.length - w.pushed, error);
            if (n < 0) {
                Hangup(error != 0 ? error : static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
                return;
            }
            if (n == 0)
                break;
            w.pushed += static_cast<DWORD>(n);
        }
        const std::size_t outq = backend_->OutQueue();
        if (w.pushed == w.length && outq == 0) {
            const auto settle = backend_->DrainSettleTime();
            if (settle.count() > 0) {
                if (!w.settleUntil)
                    w.settleUntil = now + settle;
                if (now < *w.settleUntil)
                    return;
            }
            CompleteFrontWrite(w.length);
            if (writes_.empty())
                Raise(EV_TXEMPTY); // nothing current or queued is left to send
            continue;
        }
        w.settleUntil.reset();
        if (w.deadline && now >= *w.deadline) {
            // Time-out: the unsent rest is flushed; the count is what was transmitted.
            const DWORD sent = w.pushed - static_cast<DWORD>(std::min<std::size_t>(outq, w.pushed));
            backend_->FlushOutput();
            CompleteFrontWrite(sent);
            continue;
        }
        if (outq > 0) {
            // Re-check when the queued bytes should have left the line. While flow control
            // holds them, the release wakes the driver (a line change or a kick); the slow
            // re-check is only a safety net for holds that nothing reports (XOFF on a tty).
            auto eta = backend_->OutQueueTime(dcb_, outq);
            if (backend_->HoldFlags() != 0)
                eta = std::chrono::milliseconds(100);
            // A queue that does not move is held by something: back off, up to 100 ms.
            if (outq == lastOutq_)
                stall_ = std::min<std::chrono::nanoseconds>(
                    std::max<std::chrono::nanoseconds>(stall_ * 2, std::chrono::milliseconds(1)),
                    std::chrono::milliseconds(100));
            else
                stall_ = {};
            lastOutq_ = outq;
            eta = std::max(eta, stall_);
            drainCheck_ =
                now + std::max<std::chrono::nanoseconds>(eta, std::chrono::microseconds(200));
        }
        return;
    }
}

// The current write has ended (drained, or timed out with `count` bytes sent); with RTS toggle
// control RTS drops once no write is left.
void CommDevice::CompleteFrontWrite(DWORD count) {
    CompleteOverlapped(writes_.front().ov, 0, count);
    writes_.pop_front();
    if (writes_.empty() && rtsToggleOn_) {
        rtsToggleOn_ = false;
        backend_->SetRts(false);
    }
}

// Ends every pending write with `error` and the count that really left. What the first of them
// handed to the device and is still queued there is thrown away: reported as not sent, it must
// not reach the far end later (after a close, ahead of the next session's output).
void CommDevice::AbortWrites(DWORD error) {
    bool head = true;
    for (PendingWrite& w : writes_) {
        DWORD sent = 0;
        if (head && w.pushed > 0) {
            const std::size_t outq = backend_->OutQueue();
            sent = w.pushed - static_cast<DWORD>(std::min<std::size_t>(outq, w.pushed));
            if (sent < w.pushed)
                backend_->FlushOutput();
        }
        head = false;
        CompleteOverlapped(w.ov, error, sent);
    }
    writes_.clear();
    if (rtsToggleOn_) {
        rtsToggleOn_ = false;
        backend_->SetRts(false);
    }
}

DWORD CommDevice::OutQueueBytes() const {
    std::size_t n = backend_->OutQueue();
    for (const PendingWrite& w : writes_)
        n += w.length - w.pushed;
    return static_cast<DWORD>(std::min<std::size_t>(n, MAXDWORD));
}

BOOL CommDevice::TransmitChar(char c) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (DWORD e = backend_->SendUrgent(static_cast<std::uint8_t>(c)))
        return Fail(static_cast<LONG>(e));
    return TRUE;
}

BOOL CommDevice::Flush() {
    // Waits until every queued byte has left the device.
    for (;;) {
        std::chrono::nanoseconds pause;
        {
            MutexLock lock(mutex_);
            if (!CheckUsable())
                return FALSE;
            DWORD left = OutQueueBytes();
            if (left == 0)
                return TRUE;
            pause = std::max<std::chrono::nanoseconds>(backend_->OutQueueTime(dcb_, left),
                                                       std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(pause);
    }
}

// ---- events -----------------------------------------------------------------------------

void CommDevice::Raise(DWORD events) {
    events &= mask_;
    if (events == 0)
        return;
    if (collecting_) {
        collected_ |= events;
        return;
    }
    if (wait_) {
        CompleteWait(events | history_, 0);
        history_ = 0;
        return;
    }
    history_ |= events; // remembered until the next wait
}

void CommDevice::AbortWait(DWORD error) {
    if (wait_)
        CompleteWait(0, error);
}

// Ends the pending wait with `events` (or `error`); the device lets go of the record's event
// first, so that nobody watches for a wait that is over.
void CommDevice::CompleteWait(DWORD events, DWORD error) {
    if (wait_->watched)
        SetEventSource(wait_->ov->hEvent, nullptr);
    *wait_->eventMask = events;
    CompleteOverlapped(wait_->ov, error, error == 0 ? sizeof(DWORD) : 0);
    wait_.reset();
}

bool CommDevice::WatchOnce(int wakeFd, std::optional<Clock::time_point> deadline) {
    {
        MutexLock lock(mutex_);
        if (InputFree() == 0)
            lastWatch_.reset(); // nobody can watch a full queue: the service thread listens
        if (closed_ || deadError_ != 0 || !wait_ || InputFree() == 0)
            return false;
        watchFds_.push_back(wakeFd);
        lastWatch_ = Clock::now();
    }
    const unsigned ready = backend_->WatchInput(wakeFd, deadline);
    HeldCompletions completions; // sent when the lock below has been let go
    MutexLock lock(mutex_);
    watchFds_.erase(std::find(watchFds_.begin(), watchFds_.end(), wakeFd));
    lastWatch_ = Clock::now();
    if (!closed_ && deadError_ == 0 && (ready & (CommBackend::kReadable | CommBackend::kHangup))) {
        // What the service thread would do on this wake-up, for reading.
        const std::size_t queued = inCount_;
        ServiceReads(*lastWatch_);
        TakeInput();
        ServiceReads(*lastWatch_);
        WakeServiceForDeadline();
        if ((ready & CommBackend::kHangup) && deadError_ == 0)
            Hangup(ERROR_DEVICE_NOT_CONNECTED);
        // A large block means a stream is flowing: the service thread drains the device while
        // the event is handled, or the sender would stall on the device's small buffer until
        // the next wait. Only sparse input is left to the watchers.
        if (inCount_ >= queued + kStreamBlock && watchFds_.empty()) {
            lastWatch_.reset();
            ListenAgainIfDeaf();
        }
    }
    if (watchFds_.empty()) {
        watchersLeft_.notify_all();
        if (deafUntilKicked_) {
            // The first wake-up after a quiet spell: the service thread sleeps without a
            // time-out and must look again whether anybody still listens.
            deafUntilKicked_ = false;
            backend_->Kick();
        }
    }
    return true;
}

BOOL CommDevice::WaitEvent(DWORD* eventMask, OVERLAPPED* ov) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (eventMask == nullptr || mask_ == 0 || wait_)
        return Fail(ERROR_INVALID_PARAMETER); // one wait at a time, and only with a mask
    const bool sync = !overlapped_ || ov == nullptr;
    OVERLAPPED local{};
    OVERLAPPED* rec = sync ? &local : ov;
    if (rec->hEvent != nullptr)
        ResetEventHandle(rec->hEvent);
    MarkPending(rec);
    *eventMask = 0;
    TakeInputForCall();
    CheckModem();
    if (history_ != 0) {
        *eventMask = history_;
        history_ = 0;
        CompleteOverlapped(rec, 0, sizeof(DWORD));
        return TRUE;
    }
    if (deadError_ != 0) {
        // Taking the input just now found the device gone. Hangup() aborted the pending
        // operations before this wait was one of them: registering it would leave it pending
        // for ever.
        CompleteOverlapped(rec, deadError_, 0);
        return Fail(static_cast<LONG>(deadError_));
    }
    wait_ = PendingWait{rec, eventMask};
    if (!sync && rec->hEvent != nullptr && (mask_ & kInputEvents) && backend_->CanWatch()) {
        wait_->watched = true;
        SetEventSource(rec->hEvent, shared_from_this());
    }
    if (sync) {
        lock.Unlock();
        return FinishSync(local, nullptr);
    }
    return Fail(ERROR_IO_PENDING);
}

BOOL CommDevice::GetMask(DWORD& mask) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    mask = mask_;
    return TRUE;
}

BOOL CommDevice::SetMask(DWORD mask) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (mask & ~kValidEvents)
        return Fail(ERROR_INVALID_PARAMETER);
    mask_ = mask;
    history_ = 0;
    if (wait_)
        CompleteWait(0, 0); // a pending wait completes successfully with no events
    ListenAgainIfDeaf();    // the watching may end here
    return TRUE;
}

void CommDevice::CheckModem() {
    ModemCounters c;
    if (!backend_->ReadCounters(c))
        return;
    if (haveCounters_) {
        DWORD events = 0;
        if (c.cts != counters_.cts)
            events |= EV_CTS;
        if (c.dsr != counters_.dsr)
            events |= EV_DSR;
        if (c.dcd != counters_.dcd)
            events |= EV_RLSD;
        if (c.ring != counters_.ring)
            events |= EV_RING;
        Raise(events);
    }
    counters_ = c;
    haveCounters_ = true;
}

// ---- the service thread -----------------------------------------------------------------

std::optional<Clock::time_point> CommDevice::NextDeadline() const {
    std::optional<Clock::time_point> next = drainCheck_;
    if (!reads_.empty()) {
        next = Earliest(next, reads_.front().totalDeadline);
        next = Earliest(next, reads_.front().intervalDeadline);
    }
    if (!writes_.empty()) {
        next = Earliest(next, writes_.front().deadline);
        next = Earliest(next, writes_.front().settleUntil);
    }
    return next;
}

void CommDevice::ServiceLoop() {
    HeldCompletions completions; // sent while the lock is not held
    MutexLock lock(mutex_);
    while (!stopping_) {
        const auto now = Clock::now();
        if (deadError_ == 0) {
            ServiceReads(now);
            TakeInput();
            ServiceReads(now);
            CheckModem();
            ServiceWrites(now);
        }
        const bool live = deadError_ == 0;
        const bool deaf = live && InputFree() > 0 && InputLeftToWatchers(now);
        const bool wantRead = live && InputFree() > 0 && !deaf;
        // Room in the device only matters while output may flow (not while DSR holds it).
        const bool wantWrite = live && !writes_.empty() &&
                               writes_.front().pushed < writes_.front().length &&
                               !(dcb_.fOutxDsrFlow && DsrLow());
        auto deadline = live ? NextDeadline() : std::nullopt;
        serviceDeaf_ = deaf;
        deafUntilKicked_ = false;
        if (deaf) {
            // A watcher that has waited through a whole grace is on a quiet line: no time-out
            // then (the first watcher to leave kicks), else look again when the grace runs out.
            if (!watchFds_.empty() && now - *lastWatch_ >= kWatchGrace)
                deafUntilKicked_ = true;
            else
                deadline = Earliest(deadline, *lastWatch_ + kWatchGrace);
        }
        serviceDeadline_ = deadline;
        lock.Unlock();
        completions.Send();
        const unsigned ready = backend_->Wait(wantRead, wantWrite, deadline);
        lock.Lock();
        if ((ready & CommBackend::kHangup) && deadError_ == 0 && !stopping_) {
            TakeInput(); // what arrived before the device went away stays readable
            ServiceReads(Clock::now());
            if (deadError_ == 0)
                Hangup(ERROR_DEVICE_NOT_CONNECTED);
        }
    }
}

// The service thread stops listening for input while threads waiting for a WaitCommEvent take
// it in themselves (WatchOnce): two threads woken by every byte would only contend, and the
// second wake-up costs the first one time. Input that comes between two watches stays in the
// device until the next call takes it; the kernel buffers it as it would for a reader that is
// busy. The service thread listens again once no watch has been seen for a grace period, when
// a read is pending (it completes reads), when a watch finds a stream flowing (see WatchOnce),
// and whenever input flow control is on (the handshake follows the queue).
bool CommDevice::InputLeftToWatchers(Clock::time_point now) const {
    if (!lastWatch_ || !reads_.empty() || InputFlowControl())
        return false;
    return !watchFds_.empty() || now - *lastWatch_ < kWatchGrace;
}

// A call or a watcher that served a read may have started a time-out (the read's interval
// timer at its first byte, the total time-out of the read after it) that ends before the
// service thread would look again: it is woken to watch it.
void CommDevice::WakeServiceForDeadline() {
    const auto next = NextDeadline();
    if (next && (!serviceDeadline_ || *next < *serviceDeadline_))
        backend_->Kick();
}

// Something changed that may make the service thread listen again.
void CommDevice::ListenAgainIfDeaf() {
    if (serviceDeaf_) {
        serviceDeaf_ = false;
        deafUntilKicked_ = false;
        backend_->Kick();
    }
}

void CommDevice::Hangup(DWORD error) {
    deadError_ = error;
    AbortReads(error);
    AbortWrites(error);
    AbortWait(error);
}

// ---- configuration ----------------------------------------------------------------------

// The input size is a recommendation to the driver, as on Win32. Ours takes it as the size of
// the input queue whenever input flow control is on (DTR or RTS handshake, XOFF), because the
// thresholds of the handshake refer to it. Without input flow control it holds at least 64 KiB:
// it then reads the device in blocks of up to 64 KiB however small the queue asked for, so a
// fast device is kept up with and a program that reads what is queued takes it in few large
// reads. cbInQue counts every byte held, which may exceed the size asked for; EV_RX80FULL is
// raised when 80 % of the size asked for is queued. The output size is not used: a write goes
// to the device from the caller's buffer.
BOOL CommDevice::Setup(DWORD inQueue, DWORD) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (inQueue > kMaxInputQueue)
        return Fail(ERROR_INVALID_PARAMETER);
    if (inQueue == 0 || inQueue == inSize_)
        return TRUE; // 0 keeps the current queue
    inSize_ = inQueue;
    rx80Raised_ = inCount_ * 5 >= inSize_ * 4;
    ResizeQueue();
    UpdateDtrHandshake();
    backend_->Kick(); // a larger queue may have room where the old one had none
    return TRUE;
}

bool CommDevice::InputFlowControl() const {
    return dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE ||
           dcb_.fInX;
}

// Sets how much the driver holds (see Setup), keeping what is queued.
void CommDevice::ResizeQueue() {
    inCapacity_ = InputFlowControl() ? inSize_ : std::max(inSize_, kLeastHeld);
    const std::size_t storage = std::max(inCapacity_, inCount_);
    if (storage == inQueue_.size())
        return;
    std::vector<std::uint8_t> queue(storage);
    const std::size_t count = inCount_;
    const bool rx80 = rx80Raised_;
    if (count > 0)
        TakeFromQueue(queue.data(), count);
    inQueue_ = std::move(queue);
    inHead_ = 0;
    inCount_ = count;
    rx80Raised_ = rx80;
}

BOOL CommDevice::GetState(DCB& dcb) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    dcb = dcb_;
    return TRUE;
}

BOOL CommDevice::SetState(const DCB& in) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    // What a Win32 serial driver refuses.
    if (in.BaudRate == 0 || in.ByteSize < 5 || in.ByteSize > 8 || in.Parity > SPACEPARITY ||
        in.StopBits > TWOSTOPBITS || (in.ByteSize == 5 && in.StopBits == TWOSTOPBITS) ||
        (in.ByteSize > 5 && in.StopBits == ONE5STOPBITS) ||
        ((in.fOutX || in.fInX) && in.XonChar == in.XoffChar))
        return Fail(ERROR_INVALID_PARAMETER);
    DCB dcb = in;
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1; // there is no text mode
    if (DWORD e = backend_->Configure(dcb))
        return Fail(static_cast<LONG>(e));
    const DCB previous = dcb_;
    dcb_ = dcb;
    ApplyLines(dcb_, &previous);
    const std::size_t before = inCapacity_;
    ResizeQueue();
    if (inCapacity_ > before)
        backend_->Kick(); // room where the old queue had none
    else
        ListenAgainIfDeaf(); // input flow control may have come on
    return TRUE;
}

// Drives DTR and RTS as the DCB's control modes say: all of them at the open (no `previous`),
// afterwards only a line whose mode changed. As with a Win32 serial driver, a line set by hand
// (EscapeCommFunction) keeps its level through a SetCommState that leaves its mode alone: a
// program that re-applies its settings (a new speed, the same ones again) must not move the
// lines a protocol runs on, such as a board's reset and mode lines.
void CommDevice::ApplyLines(const DCB& dcb, const DCB* previous) {
    // Errors are ignored: a device without modem lines has nothing to drive.
    if (!previous || previous->fDtrControl != dcb.fDtrControl) {
        if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
            dtrThrottled_ = false;
        backend_->SetDtr(dcb.fDtrControl != DTR_CONTROL_DISABLE && !dtrThrottled_);
    }
    if (!previous || previous->fRtsControl != dcb.fRtsControl) {
        if (dcb.fRtsControl == RTS_CONTROL_TOGGLE)
            backend_->SetRts(rtsToggleOn_);
        else
            backend_->SetRts(dcb.fRtsControl != RTS_CONTROL_DISABLE);
    }
}

BOOL CommDevice::GetTimeouts(COMMTIMEOUTS& timeouts) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    timeouts = timeouts_;
    return TRUE;
}

BOOL CommDevice::SetTimeouts(const COMMTIMEOUTS& timeouts) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (timeouts.ReadIntervalTimeout == MAXDWORD &&
        timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
        timeouts.ReadTotalTimeoutConstant == MAXDWORD)
        return Fail(ERROR_INVALID_PARAMETER);
    timeouts_ = timeouts;
    return TRUE;
}

BOOL CommDevice::Purge(DWORD flags) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (flags & ~kValidPurge)
        return Fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_TXABORT)
        AbortWrites(ERROR_OPERATION_ABORTED);
    if (flags & PURGE_RXABORT)
        AbortReads(ERROR_OPERATION_ABORTED);
    if (flags & PURGE_TXCLEAR) {
        // Only PURGE_TXABORT ends writes: the current one goes on, and what of it the device
        // held and deleted is handed over again. It completes once all of it has been through.
        const std::size_t deleted = backend_->FlushOutput();
        if (!writes_.empty()) {
            PendingWrite& w = writes_.front();
            w.pushed -= static_cast<DWORD>(std::min<std::size_t>(deleted, w.pushed));
            w.settleUntil.reset();
        }
    }
    if (flags & PURGE_RXCLEAR) {
        backend_->FlushInput();
        inHead_ = 0;
        inCount_ = 0;
        rx80Raised_ = false;
        UpdateDtrHandshake();
    }
    if (flags != 0)
        backend_->Kick();
    return TRUE;
}

BOOL CommDevice::ClearError(DWORD* errors, COMSTAT* stat) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    TakeInputForCall();
    if (deadError_ != 0)
        return Fail(static_cast<LONG>(deadError_));
    if (errors != nullptr)
        *errors = errors_;
    errors_ = 0;
    abortLatched_ = false;
    if (stat != nullptr) {
        DWORD hold = backend_->HoldFlags();
        if (dcb_.fOutxDsrFlow && OutQueueBytes() > 0 && DsrLow())
            hold |= 2;
        *stat = COMSTAT{};
        stat->fCtsHold = (hold & 1) ? 1 : 0;
        stat->fDsrHold = (hold & 2) ? 1 : 0;
        stat->fRlsdHold = (hold & 4) ? 1 : 0;
        stat->fXoffHold = (hold & 8) ? 1 : 0;
        stat->cbInQue = static_cast<DWORD>(inCount_);
        stat->cbOutQue = OutQueueBytes();
    }
    return TRUE;
}

BOOL CommDevice::ModemStatus(DWORD& status) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    if (DWORD e = backend_->GetModemStatus(status))
        return Fail(static_cast<LONG>(e));
    return TRUE;
}

BOOL CommDevice::Escape(DWORD function) {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    DWORD e = 0;
    switch (function) {
    case SETRTS:
    case CLRRTS:
        // A line the driver drives itself cannot be set by hand.
        if (dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE || dcb_.fRtsControl == RTS_CONTROL_TOGGLE)
            return Fail(ERROR_INVALID_PARAMETER);
        e = backend_->SetRts(function == SETRTS);
        break;
    case SETDTR:
    case CLRDTR:
        if (dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE)
            return Fail(ERROR_INVALID_PARAMETER);
        e = backend_->SetDtr(function == SETDTR);
        break;
    case SETBREAK:
    case CLRBREAK:
        e = backend_->SetBreak(function == SETBREAK);
        break;
    case SETXOFF:
    case SETXON:
        e = backend_->SetTxHold(function == SETXOFF);
        break;
    case RESETDEV:
        return Fail(ERROR_NOT_SUPPORTED);
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (e != 0)
        return Fail(static_cast<LONG>(e));
    backend_->Kick();
    return TRUE;
}

BOOL CommDevice::Cancel() {
    MutexLock lock(mutex_);
    if (!CheckUsable())
        return FALSE;
    AbortReads(ERROR_OPERATION_ABORTED);
    AbortWrites(ERROR_OPERATION_ABORTED);
    AbortWait(ERROR_OPERATION_ABORTED);
    return TRUE;
}

// ---- opening ----------------------------------------------------------------------------

namespace {

bool IsComName(const char* name, unsigned& number) {
    if ((name[0] != 'C' && name[0] != 'c') || (name[1] != 'O' && name[1] != 'o') ||
        (name[2] != 'M' && name[2] != 'm') || name[3] == '\0')
        return false;
    unsigned n = 0;
    for (const char* p = name + 3; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)) || n > 100000)
            return false;
        n = n * 10 + static_cast<unsigned>(*p - '0');
    }
    number = n;
    return n >= 1;
}

} // namespace

std::string DevicePathForName(const char* name) {
    unsigned n = 0;
    if (IsComName(name, n))
        return "/dev/ttyS" + std::to_string(n - 1);
    if (name[0] == '/')
        return name;
    return std::string("/dev/") + name;
}

HANDLE OpenCommDevice(const char* name, DWORD, DWORD flags) {
    if (*name == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DWORD error = 0;
    bool found = false;
    std::unique_ptr<CommBackend> backend;
    if (IsNetworkPortName(name))
        backend = OpenRfc2217Backend(name, error);
    else if (backend = OpenVirtualBackend(name, error, found); !found)
        backend = OpenTtyBackend(DevicePathForName(name).c_str(), error);
    if (!backend) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto device =
        std::make_shared<CommDevice>(std::move(backend), (flags & FILE_FLAG_OVERLAPPED) != 0);
    if (DWORD e = device->Start()) {
        device->Close();
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::move(device));
}

} // namespace zv::win32

// ---- the Win32 calls --------------------------------------------------------------------

using namespace zv::win32;

namespace {

template <class F> BOOL WithDevice(HANDLE h, F&& f) {
    auto device = Lookup<CommDevice>(h);
    if (!device)
        return Fail(ERROR_INVALID_HANDLE);
    return f(*device);
}

} // namespace

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    return WithDevice(hFile, [&](CommDevice& d) { return d.Setup(dwInQueue, dwOutQueue); });
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return WithDevice(hFile, [&](CommDevice& d) { return d.GetState(*lpDCB); });
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (lpDCB == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return WithDevice(hFile, [&](CommDevice& d) { return d.SetState(*lpDCB); });
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return WithDevice(hFile, [&](CommDevice& d) { return d.GetTimeouts(*lpCommTimeouts); });
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (lpCommTimeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return WithDevice(hFile, [&](CommDevice& d) { return d.SetTimeouts(*lpCommTimeouts); });
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (lpEvtMask == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return WithDevice(hFile, [&](CommDevice& d) { return d.GetMask(*lpEvtMask); });
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return WithDevice(hFile, [&](CommDevice& d) { return d.SetMask(dwEvtMask); });
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    return WithDevice(hFile, [&](CommDevice& d) { return d.WaitEvent(lpEvtMask, lpOverlapped); });
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return WithDevice(hFile, [&](CommDevice& d) { return d.Purge(dwFlags); });
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    return WithDevice(hFile, [&](CommDevice& d) { return d.ClearError(lpErrors, lpStat); });
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    if (lpModemStat == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    return WithDevice(hFile, [&](CommDevice& d) { return d.ModemStatus(*lpModemStat); });
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    return WithDevice(hFile, [&](CommDevice& d) { return d.Escape(dwFunc); });
}

BOOL SetCommBreak(HANDLE hFile) {
    return EscapeCommFunction(hFile, SETBREAK);
}
BOOL ClearCommBreak(HANDLE hFile) {
    return EscapeCommFunction(hFile, CLRBREAK);
}

BOOL TransmitCommChar(HANDLE hFile, char cChar) {
    return WithDevice(hFile, [&](CommDevice& d) { return d.TransmitChar(cChar); });
}
