// The comm driver core: one object per open serial device, in the shape of a small serial
// driver. It owns the input queue, the pending reads and writes (FIFO), the event wait with its
// history, the latched errors, the DCB and the time-outs; a backend (tty or virtual line) only
// moves bytes and drives lines.
//
// Threads: the caller's thread runs each Win32 call; one service thread per device waits on the
// backend (without polling: it blocks until data, room, a line change, a kick, or the nearest
// time-out) and completes what became due. Everything is guarded by one mutex, taken before the
// backend's own lock.
#pragma once

#include "platform/posix/CommBackend.h"
#include "platform/posix/Kernel.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace zv::win32 {

class CommDevice final : public IoObject {
public:
    CommDevice(std::unique_ptr<CommBackend> backend, bool overlapped);
    ~CommDevice() override;

    // Applies the initial DCB and starts the service thread; a Win32 error code, 0 on success.
    DWORD Start();
    void Close() override;

    BOOL Read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) override;
    BOOL Write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) override;
    BOOL Cancel() override;
    BOOL Flush() override;

    BOOL Setup(DWORD inQueue, DWORD outQueue);
    BOOL GetState(DCB& dcb);
    BOOL SetState(const DCB& dcb);
    BOOL GetTimeouts(COMMTIMEOUTS& timeouts);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
    BOOL GetMask(DWORD& mask);
    BOOL SetMask(DWORD mask);
    BOOL WaitEvent(DWORD* eventMask, OVERLAPPED* ov);
    BOOL Purge(DWORD flags);
    BOOL ClearError(DWORD* errors, COMSTAT* stat);
    BOOL ModemStatus(DWORD& status);
    BOOL Escape(DWORD function);
    BOOL TransmitChar(char c);

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
    };

    // All private members run with mutex_ held.
    BOOL CheckUsable();
    BOOL FinishSync(OVERLAPPED& ov, DWORD* done);
    void ServiceLoop();
    void TakeInput();
    void TakeInputBatch();
    bool DsrLow();
    void UpdateDtrHandshake();
    void StoreInput(const std::uint8_t* data, std::size_t count, const std::vector<RxMark>& marks);
    void StoreByte(std::uint8_t byte);
    void ServiceReads(Clock::time_point now);
    void ServiceWrites(Clock::time_point now);
    void CheckModem();
    void Raise(DWORD events);
    void AddError(DWORD ceFlags);
    void CompleteRead(PendingRead& r, DWORD error);
    void CompleteWrite(PendingWrite& w, DWORD error, DWORD count);
    void AbortReads(DWORD error);
    void AbortWrites(DWORD error);
    void AbortWait(DWORD error);
    void Hangup(DWORD error);
    void ApplyLines(const DCB& dcb);
    std::size_t InputFree() const { return inQueue_.size() - inCount_; }
    std::size_t TakeFromQueue(std::uint8_t* out, std::size_t max);
    std::optional<Clock::time_point> NextDeadline() const;
    DWORD OutQueueBytes() const;

    std::mutex mutex_;
    std::unique_ptr<CommBackend> backend_;
    const bool overlapped_;
    std::thread service_;
    bool started_ = false;
    bool stopping_ = false;
    bool closed_ = false;
    DWORD deadError_ = 0; // set when the device went away: every call fails with it

    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    DWORD mask_ = 0;
    DWORD history_ = 0;
    DWORD errors_ = 0;
    bool abortLatched_ = false; // fAbortOnError: I/O refused until ClearCommError
    bool rx80Raised_ = false;
    bool collecting_ = false;
    DWORD collected_ = 0;
    bool rtsToggleOn_ = false;
    bool dtrThrottled_ = false;
    std::optional<Clock::time_point> drainCheck_;
    std::size_t lastOutq_ = 0;
    std::chrono::nanoseconds stall_{};
    ModemCounters counters_{};
    bool haveCounters_ = false;

    std::vector<std::uint8_t> inQueue_; // ring buffer
    std::size_t inHead_ = 0;
    std::size_t inCount_ = 0;
    std::vector<std::uint8_t> scratch_;
    std::vector<RxMark> marks_;

    std::deque<PendingRead> reads_;
    std::deque<PendingWrite> writes_;
    std::optional<PendingWait> wait_;
};

} // namespace zv::win32
