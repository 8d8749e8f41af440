// Internal to the toolkit: the main thread's queue, shared by TThread::Synchronize and the
// message window's SendMessageA so that calls and messages run in the order they were queued.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace zv::detail {

// One piece of work for the main thread and the sender's wait for it.
struct TSyncRequest {
    // Runs on the main thread; its value becomes Result unless the sender was released earlier.
    std::function<std::intptr_t()> Method;
    // A message sent to a window: an exception escaping Method goes to the application's
    // exception handler (not back to the sender), and ReplyMessage/InSendMessage apply.
    bool IsMessage = false;
    // Written (under DoneMutex) when Done is set; read by the sender after it.
    std::intptr_t Result = 0;
    std::exception_ptr Error;
    // The sender waits on a lock of its own, not on the queue's: the main thread takes the
    // queue's lock again right after releasing a sender, and a sender woken onto it would only
    // block once more.
    std::mutex DoneMutex;
    std::condition_variable DoneCv;
    bool Done = false; // guarded by DoneMutex
    // The thread blocked in QueueAndWait for this request.
    std::thread::id Sender;
};

// On a thread other than the main thread: queues Request, wakes the main loop and blocks until
// the request is done or released. Rethrows nothing: the caller looks at Request.Error.
void QueueAndWait(const std::shared_ptr<TSyncRequest>& Request);

// Main thread only: the request whose Method runs right now (the innermost), or nullptr (also
// inside a direct call made while one runs, see TDirectCallScope).
TSyncRequest* CurrentRequest() noexcept;

// Releases the sender of Request with Result (and Error), once; false when it was released
// already, in which case nothing is written. Main thread only, while Request runs: the running
// call holds the request, so it outlives the sender's wake-up.
bool ReleaseRequest(TSyncRequest& Request, std::intptr_t Result,
                    std::exception_ptr Error = nullptr);

// Marks a direct (not queued) call on the main thread: CurrentRequest() is nullptr inside.
class TDirectCallScope {
public:
    TDirectCallScope();
    ~TDirectCallScope();
    TDirectCallScope(const TDirectCallScope&) = delete;
    TDirectCallScope& operator=(const TDirectCallScope&) = delete;
};

} // namespace zv::detail
