// Virtual serial lines: the far-end API, the name registry, and the driver backend.
#include "platform/VirtualLine.h"

#include "platform/posix/CommBackend.h"
#include "platform/posix/Kernel.h"
#include "platform/posix/ThreadSafety.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <poll.h>
#include <stdexcept>

namespace zv {

using win32::Clock;
using win32::Mutex;
using win32::MutexLock;

namespace {

enum class ItemKind : std::uint8_t { Data, Parity, Frame, Break, Overrun };
struct RxItem {
    std::uint8_t byte;
    ItemKind kind;
};

constexpr std::size_t kMaxChanges = 1u << 20;
// The device's own receive buffer (like a tty's 4 KiB): input flow control holds the far end
// back when this much waits for the driver, and lets it go on at a quarter of it.
constexpr std::size_t kDeviceBuffer = 4096;

std::string Lower(std::string s) {
    for (char& c : s)
        c = win32::LowerAscii(c);
    return s;
}

} // namespace

const char* LineSignalName(LineSignal signal) {
    switch (signal) {
    case LineSignal::Rts:
        return "RTS";
    case LineSignal::Dtr:
        return "DTR";
    case LineSignal::Break:
        return "Break";
    case LineSignal::Open:
        return "Open";
    case LineSignal::Config:
        return "Config";
    }
    return "?";
}

// The line's state, shared by the far end (VirtualLine) and the near end (VirtualBackend). One
// mutex guards it; the driver calls the backend with its own lock held, so this one comes after
// the driver's. The change callbacks run without it, in order, under callbackMutex.
struct VirtualLine::Impl {
    explicit Impl(std::string n) : name(std::move(n)) {}

    const std::string name;
    Mutex callbackMutex ACQUIRED_BEFORE(mutex); // keeps callbacks in order across threads
    mutable Mutex mutex;
    mutable std::condition_variable cv; // every state change notifies all waiters

    bool plugged GUARDED_BY(mutex) = true;
    // Bumped by Unplug: a near end opened before is gone for good.
    std::uint64_t generation GUARDED_BY(mutex) = 0;
    bool open GUARDED_BY(mutex) = false;
    DCB dcb GUARDED_BY(mutex) = win32::DefaultDcb();
    bool rts GUARDED_BY(mutex) = false; // near outputs
    bool dtr GUARDED_BY(mutex) = false;
    bool brk GUARDED_BY(mutex) = false;
    bool cts GUARDED_BY(mutex) = false; // near inputs
    bool dsr GUARDED_BY(mutex) = false;
    bool dcd GUARDED_BY(mutex) = false;
    bool ring GUARDED_BY(mutex) = false;
    win32::ModemCounters counters GUARDED_BY(mutex);
    bool txHold GUARDED_BY(mutex) = false;       // SETXOFF
    bool xoffReceived GUARDED_BY(mutex) = false; // fOutX and the far end sent XOFF
    bool pacing GUARDED_BY(mutex) = false;
    bool kicked GUARDED_BY(mutex) = false;
    bool throttled GUARDED_BY(mutex) = false; // input flow control holds the far end back

    // Handed over by the near end, not yet on the wire.
    std::deque<std::uint8_t> txPending GUARDED_BY(mutex);
    std::size_t txUrgent GUARDED_BY(mutex) = 0; // at txPending's head, from SendUrgent
    Clock::time_point txAnchor GUARDED_BY(mutex);
    std::deque<std::uint8_t> farRx GUARDED_BY(mutex); // arrived at the far end
    // When the bytes in farRx arrived: each stamp covers the bytes up to a count of all bytes
    // that ever arrived, so a reader learns when the last byte it took came.
    struct Arrival {
        std::uint64_t upTo;
        Clock::time_point at;
    };
    std::deque<Arrival> farRxArrivals GUARDED_BY(mutex);
    std::uint64_t farRxIn GUARDED_BY(mutex) = 0;    // bytes that ever arrived at the far end
    std::uint64_t farRxOut GUARDED_BY(mutex) = 0;   // of them, taken by the far end
    std::deque<RxItem> rxPending GUARDED_BY(mutex); // written by the far end, still on the wire
    Clock::time_point rxAnchor GUARDED_BY(mutex);
    std::deque<RxItem> nearRx GUARDED_BY(mutex); // arrived at the near device

    // Who waits for the near device's input: the driver's service thread (in Wait, woken through
    // cv) and threads watching for their event waits (WatchInput, woken through their wake
    // descriptors). Input from the far end wakes only them; a service thread that leaves the
    // input to the watchers sleeps on.
    bool nearListens GUARDED_BY(mutex) = false;
    std::vector<int> nearWatchers GUARDED_BY(mutex);

    std::deque<LineChange> changes GUARDED_BY(mutex);
    std::vector<LineChange> toNotify GUARDED_BY(mutex);
    std::function<void(const LineChange&)> callback GUARDED_BY(mutex);

    std::chrono::nanoseconds CharTime() const REQUIRES(mutex) { return win32::CharacterTime(dcb); }

    bool TxGated() const REQUIRES(mutex) {
        return txHold || xoffReceived || brk || (dcb.fOutxCtsFlow && !cts) ||
               (dcb.fOutxDsrFlow && !dsr);
    }

    // Moves up to max bytes that arrived at the far end into buffer; returns how many, and
    // when the last of them arrived.
    std::size_t TakeRx(void* buffer, std::size_t max, Clock::time_point* arrived = nullptr)
        REQUIRES(mutex) {
        const std::size_t n = std::min(max, farRx.size());
        std::copy_n(farRx.begin(), n, static_cast<std::uint8_t*>(buffer));
        farRx.erase(farRx.begin(), farRx.begin() + static_cast<long>(n));
        farRxOut += n;
        while (!farRxArrivals.empty() && farRxArrivals.front().upTo < farRxOut)
            farRxArrivals.pop_front();
        if (arrived != nullptr && n > 0 && !farRxArrivals.empty())
            *arrived = farRxArrivals.front().at;
        if (!farRxArrivals.empty() && farRxArrivals.front().upTo == farRxOut)
            farRxArrivals.pop_front();
        return n;
    }

    // Puts bytes into the far end's receive queue, as arrived at `at`.
    template <typename It> void ArriveFar(It first, It last, Clock::time_point at) REQUIRES(mutex) {
        if (first == last)
            return;
        farRx.insert(farRx.end(), first, last);
        farRxIn += static_cast<std::uint64_t>(std::distance(first, last));
        if (!farRxArrivals.empty() && farRxArrivals.back().at == at)
            farRxArrivals.back().upTo = farRxIn;
        else
            farRxArrivals.push_back({farRxIn, at});
    }

    // Puts an item into the near device's buffer. With XON/XOFF output control the flow control
    // characters act the moment they arrive, as in a UART's interrupt handler, and are not data:
    // an XON must release a held write even while the driver's queue is full and nothing is
    // taken from this buffer.
    void ArriveNear(const RxItem& item, Clock::time_point now) REQUIRES(mutex) {
        const bool flow = dcb.fOutX && item.kind == ItemKind::Data;
        if (flow && item.byte == static_cast<std::uint8_t>(dcb.XoffChar)) {
            xoffReceived = true;
        } else if (flow && item.byte == static_cast<std::uint8_t>(dcb.XonChar)) {
            // One XOFF hold, whether it came from the far end or from SETXOFF: XON ends it.
            if (xoffReceived || txHold) {
                xoffReceived = false;
                txHold = false;
                txAnchor = now;
                kicked = true; // the driver's service thread resumes the held write
                cv.notify_all();
            }
        } else {
            nearRx.push_back(item);
        }
    }

    // Moves the characters whose time has come across the wire.

    void Advance(Clock::time_point now) REQUIRES(mutex) {
        if (!pacing) {
            if (!TxGated()) {
                ArriveFar(txPending.begin(), txPending.end(), now);
                txPending.clear();
                txUrgent = 0;
            }
            for (const RxItem& item : rxPending)
                ArriveNear(item, now);
            rxPending.clear();
            return;
        }
        const auto ct = CharTime();
        if (TxGated() || txPending.empty()) {
            txAnchor = now; // time on hold does not count
        } else {
            auto n = static_cast<std::size_t>((now - txAnchor) / ct);
            n = std::min(n, txPending.size());
            const Clock::time_point lastArrived = txAnchor + ct * static_cast<long>(n);
            ArriveFar(txPending.begin(), txPending.begin() + static_cast<long>(n), lastArrived);
            txPending.erase(txPending.begin(), txPending.begin() + static_cast<long>(n));
            txUrgent -= std::min(txUrgent, n);
            txAnchor = txPending.empty() ? now : lastArrived;
        }
        if (rxPending.empty()) {
            rxAnchor = now;
        } else {
            auto n = static_cast<std::size_t>((now - rxAnchor) / ct);
            n = std::min(n, rxPending.size());
            for (std::size_t i = 0; i < n; ++i)
                ArriveNear(rxPending[i], now);
            rxPending.erase(rxPending.begin(), rxPending.begin() + static_cast<long>(n));
            rxAnchor = rxPending.empty() ? now : rxAnchor + ct * static_cast<long>(n);
        }
    }

    // Wakes the threads that watch the near device's input (see nearWatchers).
    void WakeWatchers() REQUIRES(mutex) {
        for (const int fd : nearWatchers)
            win32::SignalEventFd(fd);
    }

    // Records a near-end change; callbacks run later, from NotifyCallbacks().
    void Record(LineSignal signal, bool level) REQUIRES(mutex) {
        LineChange c{Clock::now(), signal, level};
        if (changes.size() >= kMaxChanges)
            changes.pop_front();
        changes.push_back(c);
        if (callback)
            toNotify.push_back(c);
        cv.notify_all();
    }

    // Runs the change callbacks recorded so far, outside the line's lock, in order.
    void NotifyCallbacks() EXCLUDES(mutex, callbackMutex) {
        MutexLock order(callbackMutex);
        std::vector<LineChange> batch;
        std::function<void(const LineChange&)> cb;
        {
            MutexLock lock(mutex);
            batch.swap(toNotify);
            cb = callback;
        }
        if (cb)
            for (const LineChange& c : batch)
                cb(c);
    }

    // Input flow control of the device: with RTS handshake RTS drops, with fInX an XOFF goes to
    // the far end, while the device buffer is full; both are undone when it drains.
    void CheckThrottle() REQUIRES(mutex) {
        const std::size_t waiting = nearRx.size();
        if (!throttled && waiting >= kDeviceBuffer) {
            throttled = true;
            if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && rts) {
                rts = false;
                Record(LineSignal::Rts, false);
            }
            if (dcb.fInX)
                ArriveFar(&dcb.XoffChar, &dcb.XoffChar + 1, Clock::now());
            cv.notify_all();
        } else if (throttled && waiting <= kDeviceBuffer / 4) {
            throttled = false;
            if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !rts) {
                rts = true;
                Record(LineSignal::Rts, true);
            }
            if (dcb.fInX)
                ArriveFar(&dcb.XonChar, &dcb.XonChar + 1, Clock::now());
            cv.notify_all();
        }
    }

    // Sets one of the near end's inputs; a change counts for the modem events.
    void SetInput(bool Impl::*line, std::uint32_t win32::ModemCounters::*counter, bool on,
                  bool countFallOnly) EXCLUDES(mutex) {
        MutexLock lock(mutex);
        if (this->*line == on)
            return;
        Advance(Clock::now());
        this->*line = on;
        if (!countFallOnly || !on)
            ++(counters.*counter);
        kicked = true;
        cv.notify_all();
    }

    // Puts `count` items of one kind on the wire towards the near end, all written now: one
    // clock reading and one wake-up for a whole block, not one per byte.
    void PushRx(const std::uint8_t* bytes, std::size_t count, ItemKind kind) REQUIRES(mutex) {
        const auto now = Clock::now();
        Advance(now);
        if (rxPending.empty())
            rxAnchor = now;
        // Without pacing nothing stays on the wire: the items reach the device at once.
        for (std::size_t i = 0; i < count; ++i) {
            const RxItem item{bytes[i], kind};
            if (pacing)
                rxPending.push_back(item);
            else
                ArriveNear(item, now);
        }
        CheckThrottle();
        if (nearListens)
            cv.notify_all();
        WakeWatchers();
    }
};

namespace {

struct Registry {
    Mutex mutex; // taken before a line's
    // Key: the lower-case name.
    std::map<std::string, std::shared_ptr<VirtualLine::Impl>> lines GUARDED_BY(mutex);
    std::vector<std::string> order GUARDED_BY(mutex);
};

Registry& Lines() {
    static Registry* r = new Registry;
    return *r;
}

// The near end of a virtual line, as seen by the comm driver.
class VirtualBackend final : public win32::CommBackend {
public:
    VirtualBackend(std::shared_ptr<VirtualLine::Impl> line, std::uint64_t generation)
        : line_(std::move(line)), generation_(generation) {}

    ~VirtualBackend() override { Close(); }

    DWORD Configure(const DCB& dcb) override {
        {
            MutexLock lock(line_->mutex);
            if (Gone())
                return ERROR_DEVICE_NOT_CONNECTED;
            line_->Advance(Clock::now()); // what is on the wire left at the old speed
            line_->dcb = dcb;
            line_->Record(LineSignal::Config, true);
        }
        line_->NotifyCallbacks();
        return 0;
    }

    DWORD SetDtr(bool on) override {
        return SetOutput(&VirtualLine::Impl::dtr, LineSignal::Dtr, on);
    }
    DWORD SetRts(bool on) override {
        return SetOutput(&VirtualLine::Impl::rts, LineSignal::Rts, on);
    }
    DWORD SetBreak(bool on) override {
        return SetOutput(&VirtualLine::Impl::brk, LineSignal::Break, on);
    }

    DWORD SetTxHold(bool hold) override {
        MutexLock lock(line_->mutex);
        if (Gone())
            return ERROR_DEVICE_NOT_CONNECTED;
        line_->Advance(Clock::now());
        line_->txHold = hold;
        if (!hold)
            line_->xoffReceived = false; // SETXON ends an XOFF received as well
        line_->cv.notify_all();
        return 0;
    }

    DWORD GetModemStatus(DWORD& status) override {
        MutexLock lock(line_->mutex);
        if (Gone())
            return ERROR_DEVICE_NOT_CONNECTED;
        status = (line_->cts ? MS_CTS_ON : 0) | (line_->dsr ? MS_DSR_ON : 0) |
                 (line_->ring ? MS_RING_ON : 0) | (line_->dcd ? MS_RLSD_ON : 0);
        return 0;
    }

    bool ReadCounters(win32::ModemCounters& counters) override {
        MutexLock lock(line_->mutex);
        counters = line_->counters;
        return true;
    }

    DWORD HoldFlags() override {
        MutexLock lock(line_->mutex);
        line_->Advance(Clock::now());
        const bool waiting = !line_->txPending.empty();
        DWORD flags = 0;
        if (waiting && line_->dcb.fOutxCtsFlow && !line_->cts)
            flags |= 1;
        if (waiting && line_->dcb.fOutxDsrFlow && !line_->dsr)
            flags |= 2;
        if (line_->xoffReceived || line_->txHold)
            flags |= 8;
        return flags;
    }

    DCB InitialDcb() override {
        MutexLock lock(line_->mutex);
        return line_->dcb;
    }

    bool HasModemLines() const override { return true; }

    long Receive(std::uint8_t* data, std::size_t capacity, std::vector<win32::RxMark>& marks,
                 DWORD& error) override {
        long n = ReceiveLocked(data, capacity, marks, error);
        line_->NotifyCallbacks(); // input flow control may have moved RTS
        return n;
    }

    long ReceiveLocked(std::uint8_t* data, std::size_t capacity, std::vector<win32::RxMark>& marks,
                       DWORD& error) {
        MutexLock lock(line_->mutex);
        if (Gone()) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        line_->Advance(Clock::now());
        std::size_t n = 0;
        auto& rx = line_->nearRx;
        // The items taken are removed at the end, in one piece.
        auto it = rx.begin();
        for (; it != rx.end() && n < capacity; ++it) {
            const RxItem item = *it;
            switch (item.kind) {
            case ItemKind::Data:
                data[n++] = item.byte;
                break;
            case ItemKind::Parity:
                marks.push_back({n, win32::RxMarkKind::Parity});
                data[n++] = item.byte;
                break;
            case ItemKind::Frame:
                marks.push_back({n, win32::RxMarkKind::Frame});
                data[n++] = item.byte;
                break;
            case ItemKind::Break:
                marks.push_back({n, win32::RxMarkKind::Break});
                break;
            case ItemKind::Overrun:
                marks.push_back({n, win32::RxMarkKind::Overrun});
                break;
            }
        }
        rx.erase(rx.begin(), it);
        line_->CheckThrottle();
        return static_cast<long>(n);
    }

    long Send(const std::uint8_t* data, std::size_t count, DWORD& error) override {
        MutexLock lock(line_->mutex);
        if (Gone()) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        auto now = Clock::now();
        line_->Advance(now);
        if (line_->txPending.empty())
            line_->txAnchor = now;
        line_->txPending.insert(line_->txPending.end(), data, data + count);
        line_->Advance(now);
        line_->cv.notify_all();
        return static_cast<long>(count);
    }

    // The byte goes ahead of what has not crossed the line yet, behind earlier urgent bytes;
    // flow control holds it as any other.
    DWORD SendUrgent(std::uint8_t byte) override {
        MutexLock lock(line_->mutex);
        if (Gone())
            return ERROR_DEVICE_NOT_CONNECTED;
        const auto now = Clock::now();
        line_->Advance(now);
        if (line_->txPending.empty())
            line_->txAnchor = now;
        line_->txPending.insert(line_->txPending.begin() + static_cast<long>(line_->txUrgent),
                                byte);
        ++line_->txUrgent;
        line_->Advance(now);
        line_->cv.notify_all();
        return 0;
    }

    std::size_t OutQueue() override {
        MutexLock lock(line_->mutex);
        line_->Advance(Clock::now());
        return line_->txPending.size();
    }

    void FlushInput() override {
        MutexLock lock(line_->mutex);
        line_->Advance(Clock::now());
        line_->nearRx.clear();
    }

    std::size_t FlushOutput() override {
        MutexLock lock(line_->mutex);
        line_->Advance(Clock::now());
        const std::size_t data = line_->txPending.size() - line_->txUrgent;
        line_->txPending.clear();
        line_->txUrgent = 0;
        return data;
    }

    unsigned Wait(bool wantRead, bool wantWrite,
                  std::optional<Clock::time_point> deadline) override {
        MutexLock lock(line_->mutex);
        for (;;) {
            const auto now = Clock::now();
            line_->Advance(now);
            line_->CheckThrottle();
            if (!line_->toNotify.empty()) {
                lock.Unlock();
                line_->NotifyCallbacks();
                lock.Lock();
                continue;
            }
            unsigned ready = 0;
            if (line_->kicked) {
                line_->kicked = false;
                ready |= kKicked;
            }
            if (Gone() && !hangupReported_) {
                hangupReported_ = true;
                ready |= kHangup;
            }
            if (wantRead && !line_->nearRx.empty())
                ready |= kReadable;
            if (wantWrite)
                ready |= kWritable;
            if (ready != 0 || (deadline && now >= *deadline)) {
                line_->nearListens = false;
                return ready;
            }
            std::optional<Clock::time_point> wake = deadline;
            if (line_->pacing && wantRead && !line_->rxPending.empty()) {
                auto arrival = line_->rxAnchor + line_->CharTime();
                wake = wake ? std::min(*wake, arrival) : arrival;
            }
            line_->nearListens = wantRead;
            if (wake)
                line_->cv.wait_until(lock.Native(), *wake);
            else
                line_->cv.wait(lock.Native());
        }
    }

    void Kick() override {
        MutexLock lock(line_->mutex);
        line_->kicked = true;
        line_->cv.notify_all();
    }

    bool CanWatch() const override { return true; }

    unsigned WatchInput(int wakeFd, std::optional<Clock::time_point> deadline) override {
        std::optional<Clock::time_point> wake = deadline;
        {
            MutexLock lock(line_->mutex);
            line_->Advance(Clock::now());
            if (const unsigned ready = InputState())
                return ready;
            // Paced bytes arrive one character time apart: the watch ends when the next is due.
            if (line_->pacing && !line_->rxPending.empty()) {
                const auto arrival = line_->rxAnchor + line_->CharTime();
                wake = wake ? std::min(*wake, arrival) : arrival;
            }
            line_->nearWatchers.push_back(wakeFd);
        }
        pollfd fd{wakeFd, POLLIN, 0};
        timespec ts{};
        const int n = ::ppoll(&fd, 1, win32::PollTimeout(wake, ts), nullptr);
        // Written by the line for input, or for one of the waiter's events: which one shows in
        // the line's state (the waiter looks at its events itself).
        if (n > 0)
            win32::DrainEventFd(wakeFd);
        MutexLock lock(line_->mutex);
        std::erase(line_->nearWatchers, wakeFd);
        line_->Advance(Clock::now());
        const unsigned ready = InputState();
        return ready != 0 || n <= 0 ? ready : static_cast<unsigned>(kKicked);
    }

    void Close() override {
        if (closed_)
            return;
        closed_ = true;
        {
            MutexLock lock(line_->mutex);
            if (line_->generation == generation_ && line_->open) {
                // A break ends with the session, as a serial driver's close ends it.
                if (line_->brk) {
                    line_->Advance(Clock::now());
                    line_->brk = false;
                    line_->Record(LineSignal::Break, false);
                }
                line_->open = false;
                line_->Record(LineSignal::Open, false);
            }
        }
        line_->NotifyCallbacks();
    }

private:
    bool Gone() const REQUIRES(line_->mutex) {
        return !line_->plugged || line_->generation != generation_;
    }

    // What a watcher wakes for: input at the device, or the device gone.
    unsigned InputState() const REQUIRES(line_->mutex) {
        if (Gone())
            return kHangup;
        return line_->nearRx.empty() ? 0u : static_cast<unsigned>(kReadable);
    }

    DWORD SetOutput(bool VirtualLine::Impl::*level, LineSignal signal, bool on) {
        {
            MutexLock lock(line_->mutex);
            if (Gone())
                return ERROR_DEVICE_NOT_CONNECTED;
            if ((*line_).*level == on)
                return 0;
            line_->Advance(Clock::now());
            (*line_).*level = on;
            line_->Record(signal, on);
        }
        line_->NotifyCallbacks();
        return 0;
    }

    std::shared_ptr<VirtualLine::Impl> line_;
    const std::uint64_t generation_;
    bool hangupReported_ = false;
    bool closed_ = false;
};

} // namespace

namespace win32 {

std::unique_ptr<CommBackend> OpenVirtualBackend(const char* name, DWORD& error, bool& found) {
    std::shared_ptr<VirtualLine::Impl> line;
    {
        Registry& r = Lines();
        MutexLock lock(r.mutex);
        auto it = r.lines.find(Lower(name));
        found = it != r.lines.end();
        if (!found)
            return nullptr;
        line = it->second;
    }
    std::uint64_t generation = 0;
    {
        MutexLock lock(line->mutex);
        if (!line->plugged) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (line->open) {
            error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
        generation = line->generation;
        line->open = true;
        // A fresh device: nothing received while it was closed is kept.
        line->Advance(Clock::now());
        line->nearRx.clear();
        line->xoffReceived = false;
        line->txHold = false;
        line->Record(LineSignal::Open, true);
        // Like a Linux tty, opening raises DTR and RTS; the DCB then sets them.
        if (!line->dtr) {
            line->dtr = true;
            line->Record(LineSignal::Dtr, true);
        }
        if (!line->rts) {
            line->rts = true;
            line->Record(LineSignal::Rts, true);
        }
    }
    line->NotifyCallbacks();
    return std::make_unique<VirtualBackend>(line, generation);
}

std::vector<std::string> VirtualLineNames() {
    Registry& r = Lines();
    MutexLock lock(r.mutex);
    std::vector<std::string> names;
    for (const std::string& key : r.order) {
        auto& line = r.lines.at(key);
        MutexLock lineLock(line->mutex);
        if (line->plugged)
            names.push_back(line->name);
    }
    return names;
}

} // namespace win32

// ---- the far end ------------------------------------------------------------------------

std::unique_ptr<VirtualLine> VirtualLine::Create(std::string name) {
    if (name.empty() || name.size() > 64 || name.find_first_of("\\/") != std::string::npos ||
        std::any_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= ' '; }))
        throw std::invalid_argument("invalid virtual line name \"" + name + "\"");
    auto impl = std::make_shared<Impl>(name);
    Registry& r = Lines();
    MutexLock lock(r.mutex);
    std::string key = Lower(name);
    if (r.lines.count(key) != 0)
        throw std::runtime_error("virtual line \"" + name + "\" is registered already");
    r.lines.emplace(key, impl);
    r.order.push_back(key);
    return std::unique_ptr<VirtualLine>(new VirtualLine(std::move(impl)));
}

VirtualLine::VirtualLine(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

VirtualLine::~VirtualLine() {
    Unplug();
    Registry& r = Lines();
    MutexLock lock(r.mutex);
    std::string key = Lower(impl_->name);
    r.lines.erase(key);
    std::erase(r.order, key);
}

const std::string& VirtualLine::Name() const {
    return impl_->name;
}

bool VirtualLine::IsOpen() const {
    MutexLock lock(impl_->mutex);
    return impl_->open;
}

bool VirtualLine::WaitOpen(bool open, Duration timeout) const {
    const auto deadline = Clock::now() + timeout;
    MutexLock lock(impl_->mutex);
    while (impl_->open != open)
        if (impl_->cv.wait_until(lock.Native(), deadline) == std::cv_status::timeout)
            return impl_->open == open;
    return true;
}

DCB VirtualLine::Settings() const {
    MutexLock lock(impl_->mutex);
    return impl_->dcb;
}

bool VirtualLine::Rts() const {
    MutexLock lock(impl_->mutex);
    return impl_->rts;
}

bool VirtualLine::Dtr() const {
    MutexLock lock(impl_->mutex);
    return impl_->dtr;
}

bool VirtualLine::Break() const {
    MutexLock lock(impl_->mutex);
    return impl_->brk;
}

std::size_t VirtualLine::Available() const {
    MutexLock lock(impl_->mutex);
    impl_->Advance(Clock::now());
    return impl_->farRx.size();
}

std::size_t VirtualLine::TryRead(void* buffer, std::size_t max, Clock::time_point* arrived) {
    MutexLock lock(impl_->mutex);
    impl_->Advance(Clock::now());
    const std::size_t n = impl_->TakeRx(buffer, max, arrived);
    if (n > 0)
        impl_->cv.notify_all();
    return n;
}

std::size_t VirtualLine::Read(void* buffer, std::size_t max, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    MutexLock lock(impl_->mutex);
    for (;;) {
        const auto now = Clock::now();
        impl_->Advance(now);
        if (!impl_->farRx.empty() || max == 0)
            return impl_->TakeRx(buffer, max);
        if (now >= deadline)
            return 0;
        auto wake = deadline;
        if (impl_->pacing && !impl_->txPending.empty() && !impl_->TxGated())
            wake = std::min(wake, impl_->txAnchor + impl_->CharTime());
        impl_->cv.wait_until(lock.Native(), wake);
    }
}

bool VirtualLine::WaitAvailable(std::stop_token stop) {
    // The callback takes the line's lock before notifying, so a request cannot slip in between
    // the check below and the wait. It is made before the lock is taken (a request made already
    // runs it at once) and ends after the lock is released.
    const std::stop_callback wake(stop, [this] {
        MutexLock held(impl_->mutex);
        impl_->cv.notify_all();
    });
    MutexLock lock(impl_->mutex);
    for (;;) {
        const auto now = Clock::now();
        impl_->Advance(now);
        if (!impl_->farRx.empty())
            return true;
        if (stop.stop_requested())
            return false;
        if (impl_->pacing && !impl_->txPending.empty() && !impl_->TxGated())
            impl_->cv.wait_until(lock.Native(), impl_->txAnchor + impl_->CharTime());
        else
            impl_->cv.wait(lock.Native());
    }
}

std::string VirtualLine::ReadString(std::size_t count, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string out;
    char buf[4096];
    while (out.size() < count) {
        auto now = Clock::now();
        if (now >= deadline)
            break;
        auto left = std::chrono::duration_cast<Duration>(deadline - now) + Duration(1);
        std::size_t n = Read(buf, std::min(sizeof buf, count - out.size()), left);
        out.append(buf, n);
    }
    return out;
}

void VirtualLine::Write(const void* data, std::size_t count) {
    {
        MutexLock lock(impl_->mutex);
        if (count > 0)
            impl_->PushRx(static_cast<const std::uint8_t*>(data), count, ItemKind::Data);
    }
    impl_->NotifyCallbacks();
}

void VirtualLine::SendBreak() {
    {
        MutexLock lock(impl_->mutex);
        const std::uint8_t none = 0;
        impl_->PushRx(&none, 1, ItemKind::Break);
    }
    impl_->NotifyCallbacks();
}

void VirtualLine::InjectError(LineError error, std::uint8_t byte) {
    {
        MutexLock lock(impl_->mutex);
        ItemKind kind = error == LineError::Frame    ? ItemKind::Frame
                        : error == LineError::Parity ? ItemKind::Parity
                                                     : ItemKind::Overrun;
        impl_->PushRx(&byte, 1, kind);
    }
    impl_->NotifyCallbacks();
}

std::size_t VirtualLine::PendingToNear() const {
    MutexLock lock(impl_->mutex);
    impl_->Advance(Clock::now());
    return impl_->rxPending.size() + impl_->nearRx.size();
}

void VirtualLine::SetCts(bool on) {
    impl_->SetInput(&Impl::cts, &win32::ModemCounters::cts, on, false);
}
void VirtualLine::SetDsr(bool on) {
    impl_->SetInput(&Impl::dsr, &win32::ModemCounters::dsr, on, false);
}
void VirtualLine::SetDcd(bool on) {
    impl_->SetInput(&Impl::dcd, &win32::ModemCounters::dcd, on, false);
}
void VirtualLine::SetRing(bool on) {
    impl_->SetInput(&Impl::ring, &win32::ModemCounters::ring, on, true);
}

void VirtualLine::SetFarDtr(bool on) {
    SetDsr(on);
    SetDcd(on);
}

std::vector<LineChange> VirtualLine::TakeChanges() {
    MutexLock lock(impl_->mutex);
    std::vector<LineChange> out(impl_->changes.begin(), impl_->changes.end());
    impl_->changes.clear();
    return out;
}

std::optional<LineChange> VirtualLine::WaitChange(Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    MutexLock lock(impl_->mutex);
    while (impl_->changes.empty())
        if (impl_->cv.wait_until(lock.Native(), deadline) == std::cv_status::timeout &&
            impl_->changes.empty())
            return std::nullopt;
    LineChange c = impl_->changes.front();
    impl_->changes.pop_front();
    return c;
}

void VirtualLine::OnChange(std::function<void(const LineChange&)> callback) {
    MutexLock order(impl_->callbackMutex);
    MutexLock lock(impl_->mutex);
    impl_->callback = std::move(callback);
    impl_->toNotify.clear();
}

void VirtualLine::SetPacing(bool on) {
    MutexLock lock(impl_->mutex);
    auto now = Clock::now();
    impl_->Advance(now);
    impl_->pacing = on;
    impl_->txAnchor = now;
    impl_->rxAnchor = now;
    impl_->kicked = true; // the driver looks again when its output will have left
    impl_->cv.notify_all();
    impl_->WakeWatchers();
}

std::chrono::nanoseconds VirtualLine::CharacterTime() const {
    MutexLock lock(impl_->mutex);
    return impl_->CharTime();
}

void VirtualLine::Unplug() {
    {
        MutexLock lock(impl_->mutex);
        if (!impl_->plugged)
            return;
        impl_->plugged = false;
        ++impl_->generation;
        if (impl_->open) {
            impl_->open = false;
            impl_->Record(LineSignal::Open, false);
        }
        impl_->kicked = true;
        impl_->cv.notify_all();
        impl_->WakeWatchers();
    }
    impl_->NotifyCallbacks();
}

void VirtualLine::Plug() {
    MutexLock lock(impl_->mutex);
    impl_->plugged = true;
    impl_->cv.notify_all();
}

bool VirtualLine::IsPlugged() const {
    MutexLock lock(impl_->mutex);
    return impl_->plugged;
}

} // namespace zv
