// The comm driver core: one object per open serial device, in the shape of a small serial
// driver. It owns the input queue, the pending reads and writes (FIFO), the event wait with its
// history, the latched errors, the DCB and the time-outs; a backend (tty or virtual line) only
// moves bytes and drives lines.
//
// Threads: the caller's thread runs each Win32 call; one service thread per device waits on the
// backend (without polling: it blocks until data, room, a line change, a kick, or the nearest
// time-out) and completes what became due. Everything is guarded by one mutex, taken before the
// backend's own lock; the compiler checks the rule (ThreadSafety.h).
#pragma once

#include "platform/posix/CommBackend.h"
#include "platform/posix/Kernel.h"
#include "platform/posix/ThreadSafety.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

namespace zv::win32 {

class CommDevice final : public IoObject,
                         public EventSource,
                         public std::enable_shared_from_this<CommDevice> {
public:
    CommDevice(std::unique_ptr<CommBackend> backend, bool overlapped);
    ~CommDevice() override;

    // Applies the initial DCB and starts the service thread; a Win32 error code, 0 on success.
    DWORD Start() EXCLUDES(mutex_);
    void Close() override EXCLUDES(mutex_);

    BOOL Read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) override EXCLUDES(mutex_);
    BOOL Write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) override
        EXCLUDES(mutex_);
    BOOL Cancel() override EXCLUDES(mutex_);
    BOOL Flush() override EXCLUDES(mutex_);

    BOOL Setup(DWORD inQueue, DWORD outQueue) EXCLUDES(mutex_);
    BOOL GetState(DCB& dcb) EXCLUDES(mutex_);
    BOOL SetState(const DCB& dcb) EXCLUDES(mutex_);
    BOOL GetTimeouts(COMMTIMEOUTS& timeouts) EXCLUDES(mutex_);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts) EXCLUDES(mutex_);
    BOOL GetMask(DWORD& mask) EXCLUDES(mutex_);
    BOOL SetMask(DWORD mask) EXCLUDES(mutex_);
    BOOL WaitEvent(DWORD* eventMask, OVERLAPPED* ov) EXCLUDES(mutex_);
    BOOL Purge(DWORD flags) EXCLUDES(mutex_);
    BOOL ClearError(DWORD* errors, COMSTAT* stat) EXCLUDES(mutex_);
    BOOL ModemStatus(DWORD& status) EXCLUDES(mutex_);
    BOOL Escape(DWORD function) EXCLUDES(mutex_);
    BOOL TransmitChar(char c) EXCLUDES(mutex_);

    // A thread waiting for the event of a pending WaitCommEvent watches the device's input
    // itself and takes it in, completing the wait without a hand-off through the service thread.
    bool WatchOnce(int wakeFd, std::optional<Clock::time_point> deadline) override EXCLUDES(mutex_);

private:
    struct PendingRead {
        OVERLAPPED* ov;
        std::uint8_t* buffer;
        DWORD want;
        DWORD got = 0;
        bool started = false;
        bool returnAtOnce = false;     // MAXDWORD / 0 / 0
        bool firstByteReturns = false; // MAXDWORD / MAXDWORD / constant
        DWORD interval = 0;            // 0: no interval timer
        std::optional<Clock::time_point> totalDeadline;
        std::optional<Clock::time_point> intervalDeadline;
    };
    struct PendingWrite {
        OVERLAPPED* ov;
        const std::uint8_t* data;
        DWORD length;
        DWORD pushed = 0;
        bool started = false;
        std::optional<Clock::time_point> deadline;
        std::optional<Clock::time_point> settleUntil;
    };
    struct PendingWait {
        OVERLAPPED* ov;
        DWORD* eventMask;
        bool watched = false; // this device is attached to the record's event (EventSource)
    };

    // Every private function but ServiceLoop runs with mutex_ held.
    BOOL CheckUsable() REQUIRES(mutex_);
    void ServiceLoop() EXCLUDES(mutex_);
    void TakeInput() REQUIRES(mutex_);
    void TakeInputForCall() REQUIRES(mutex_);
    void TakeInputBatch() REQUIRES(mutex_);
    bool DsrLow() REQUIRES(mutex_);
    void UpdateDtrHandshake() REQUIRES(mutex_);
    void StoreInput(const std::uint8_t* data, std::size_t count, const std::vector<RxMark>& marks)
        REQUIRES(mutex_);
    void StoreByte(std::uint8_t byte) REQUIRES(mutex_);
    DWORD Rx80Full() REQUIRES(mutex_);
    void ServiceReads(Clock::time_point now) REQUIRES(mutex_);
    void ServiceWrites(Clock::time_point now) REQUIRES(mutex_);
    void CompleteFrontWrite(DWORD count) REQUIRES(mutex_);
    void CheckModem() REQUIRES(mutex_);
    void Raise(DWORD events) REQUIRES(mutex_);
    void AddError(DWORD ceFlags) REQUIRES(mutex_);
    void CompleteRead(PendingRead& r, DWORD error) REQUIRES(mutex_);
    void AbortReads(DWORD error) REQUIRES(mutex_);
    void AbortWrites(DWORD error) REQUIRES(mutex_);
    void AbortWait(DWORD error) REQUIRES(mutex_);
    void CompleteWait(DWORD events, DWORD error) REQUIRES(mutex_);
    void Hangup(DWORD error) REQUIRES(mutex_);
    void ApplyLines(const DCB& dcb, const DCB* previous = nullptr) REQUIRES(mutex_);
    bool InputFlowControl() const REQUIRES(mutex_);
    void ResizeQueue() REQUIRES(mutex_);
    std::size_t InputFree() const REQUIRES(mutex_) {
        return inCapacity_ > inCount_ ? inCapacity_ - inCount_ : 0;
    }
    std::size_t TakeFromQueue(std::uint8_t* out, std::size_t max) REQUIRES(mutex_);
    std::optional<Clock::time_point> NextDeadline() const REQUIRES(mutex_);
    bool InputLeftToWatchers(Clock::time_point now) const REQUIRES(mutex_);
    void ListenAgainIfDeaf() REQUIRES(mutex_);
    void WakeServiceForDeadline() REQUIRES(mutex_);
    DWORD OutQueueBytes() const REQUIRES(mutex_);

    Mutex mutex_;
    // Set before the service thread starts and never replaced; the backend has its own lock
    // where it needs one, and Kick() may be called from anywhere.
    const std::unique_ptr<CommBackend> backend_;
    const bool overlapped_;
    std::thread service_; // started under the lock, joined by Close once stopping_ is set
    bool started_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool closed_ GUARDED_BY(mutex_) = false;
    // Set when the device went away: every call fails with it.
    DWORD deadError_ GUARDED_BY(mutex_) = 0;

    DCB dcb_ GUARDED_BY(mutex_){};
    COMMTIMEOUTS timeouts_ GUARDED_BY(mutex_){};
    DWORD mask_ GUARDED_BY(mutex_) = 0;
    DWORD history_ GUARDED_BY(mutex_) = 0;
    DWORD errors_ GUARDED_BY(mutex_) = 0;
    bool abortLatched_ GUARDED_BY(mutex_) = false; // fAbortOnError: I/O refused until cleared
    bool rx80Raised_ GUARDED_BY(mutex_) = false;
    bool collecting_ GUARDED_BY(mutex_) = false;
    DWORD collected_ GUARDED_BY(mutex_) = 0;
    bool rtsToggleOn_ GUARDED_BY(mutex_) = false;
    bool dtrThrottled_ GUARDED_BY(mutex_) = false;
    std::optional<Clock::time_point> drainCheck_ GUARDED_BY(mutex_);
    std::size_t lastOutq_ GUARDED_BY(mutex_) = 0;
    std::chrono::nanoseconds stall_ GUARDED_BY(mutex_){};
    ModemCounters counters_ GUARDED_BY(mutex_){};
    bool haveCounters_ GUARDED_BY(mutex_) = false;

    // The input queue: a ring of inQueue_.size() bytes holding inCount_ bytes from inHead_ on.
    // inSize_ is the size the program asked for (SetupComm); inCapacity_ is how much the driver
    // takes from the device before it stops reading (see Setup in CommDevice.cpp).
    std::vector<std::uint8_t> inQueue_ GUARDED_BY(mutex_);
    std::size_t inHead_ GUARDED_BY(mutex_) = 0;
    std::size_t inCount_ GUARDED_BY(mutex_) = 0;
    std::size_t inSize_ GUARDED_BY(mutex_) = 0;
    std::size_t inCapacity_ GUARDED_BY(mutex_) = 0;
    std::vector<std::uint8_t> scratch_ GUARDED_BY(mutex_);
    // When a read last left the device empty (see CommDevice::TakeInputForCall).
    std::optional<Clock::time_point> drainedAt_ GUARDED_BY(mutex_);
    std::vector<RxMark> marks_ GUARDED_BY(mutex_);

    std::deque<PendingRead> reads_ GUARDED_BY(mutex_);
    std::deque<PendingWrite> writes_ GUARDED_BY(mutex_);
    std::optional<PendingWait> wait_ GUARDED_BY(mutex_);
    // The wake descriptors of the threads inside WatchOnce; Close writes them and waits until
    // the list is empty before the device is released.
    std::vector<int> watchFds_ GUARDED_BY(mutex_);
    std::condition_variable watchersLeft_;
    // When a watcher last entered or left; the service thread leaves the device's input to the
    // watchers while they come and go (see CommDevice::InputLeftToWatchers).
    std::optional<Clock::time_point> lastWatch_ GUARDED_BY(mutex_);
    // The service thread sleeps without listening for input: until the grace of the last watch
    // has run out, or, when `deafUntilKicked_`, until a kick.
    bool serviceDeaf_ GUARDED_BY(mutex_) = false;
    bool deafUntilKicked_ GUARDED_BY(mutex_) = false;
    // The deadline the service thread last went to sleep with (none: it sleeps until woken).
    std::optional<Clock::time_point> serviceDeadline_ GUARDED_BY(mutex_);
};

} // namespace zv::win32
