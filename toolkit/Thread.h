// TThread and the main thread's queue of synchronised calls.
//
// The main thread: the process's initial thread, recorded while static objects are initialised
// (before main() runs). A program whose event loop runs on another thread declares that thread
// with SetMainThread() before any thread is started. Components and windows belong to the main
// thread; other threads reach it through Synchronize (and SendMessageA, MessageWindow.h), which
// share one queue, so calls and messages run in the order they were queued.
//
// The main thread runs queued work in CheckSynchronize (its event loop calls it when the
// wake-up hook fires) and while it waits in TThread::WaitFor, so a thread blocked in a
// hand-off can always finish. Every wait blocks on a condition variable; nothing polls.
#pragma once

#include "toolkit/Exception.h"
#include "toolkit/Object.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace zv {

// Win32 thread priorities: -15, -2, -1, 0, 1, 2, 15. On Linux a thread gets a nice value
// relative to the one it started with (inherited from its creator): +19, +10, +5, 0, -5, -10,
// -15, within -20..19. A level the process may not have (a lower nice value needs privileges
// or RLIMIT_NICE room) is refused silently: the thread keeps the level it has; nothing fails.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// The Win32 value of a priority (THREAD_PRIORITY_IDLE ... THREAD_PRIORITY_TIME_CRITICAL).
int ThreadPriorityToWin32(TThreadPriority Priority) noexcept;

using TThreadID = std::uint32_t;

class TThread : public TObject {
public:
    // The thread itself begins at Start(): C++ cannot run the overridden Execute before the
    // derived constructor has finished. CreateSuspended == false is recorded in StartPending();
    // a derived class that wants to run at once calls Start() at the end of its constructor.
    explicit TThread(bool CreateSuspended);
    // Terminates and waits (WaitFor), so no joinable thread is ever destroyed. A derived class
    // whose Execute uses its own members must end the thread in its own destructor
    // (TerminateAndWait()): by the time this destructor runs, the derived part is gone.
    // Called on the thread itself (from inside Execute), it terminates and detaches; the object
    // must then not be touched by Execute any more.
    ~TThread() override;

    // Starts Execute on a new thread; the thread id is known when Start returns. Starting a
    // running or finished thread raises EThread.
    void Start();
    bool Started() const noexcept;
    bool StartPending() const noexcept { return FStartPending; }

    // Sets the Terminated flag; Execute is expected to look at it and return.
    void Terminate() noexcept;
    bool Terminated() const noexcept;

    // Blocks until Execute has returned and joins the thread (at once for a thread never
    // started). On the main thread it keeps running queued Synchronize calls and sent messages
    // meanwhile; called from inside a synchronised call or sent message of this very thread
    // (a handler that closes what the thread serves), it first releases the thread from that
    // call, as ReplyMessage does, so that both can finish: the thread's Synchronize returns
    // while the call runs on to its end (an exception from the rest of the call then goes to
    // the application's exception handler; the rest must not use the thread's stack, which may
    // be gone by then: what a synchronised call needs, it captures by value).
    // Called from the thread itself it raises EThread instead of waiting forever.
    void WaitFor();
    // True once Execute (and OnTerminate) have returned.
    bool Finished() const noexcept;
    // Terminate, then WaitFor, for destructors: on the thread itself it only terminates (the
    // base destructor then detaches), and a failure goes to the application's exception
    // handler instead of out of the destructor.
    void TerminateAndWait() noexcept;

    TThreadPriority Priority() const noexcept;
    // Records the priority and applies it to the running thread (or at Start); never fails.
    void SetPriority(TThreadPriority Value) noexcept;

    // The system's id of the thread (the Linux TID); 0 before Start.
    TThreadID ThreadID() const noexcept;
    // True when called on this thread (inside Execute or what it calls).
    bool IsCurrentThread() const noexcept;

    // The exception that escaped Execute, if any (the thread ends; nothing else reports it).
    std::exception_ptr FatalException() const;

    // Raised on the main thread (through Synchronize) after Execute has returned.
    TNotifyEvent OnTerminate;

    // Runs Method on the main thread and waits until it has run; an exception it raises is
    // raised again here. On the main thread, Method runs directly. AThread may be nullptr.
    static void Synchronize(TThread* AThread, std::function<void()> Method);

protected:
    virtual void Execute() = 0;
    void Synchronize(std::function<void()> Method) { Synchronize(this, std::move(Method)); }
    // Raises OnTerminate on the main thread when assigned.
    virtual void DoTerminate();

private:
    struct TState;
    static void Run(TThread* Self, std::shared_ptr<TState> State);

    std::shared_ptr<TState> FState;
    bool FStartPending;
};

// Main thread only: runs the queued calls and messages in order (those queued while it runs
// wait for the next call). Returns whether any ran. With TimeoutMs > 0 and nothing queued it
// blocks up to that long for work to arrive; TimeoutMs < 0 blocks until work arrives. Called
// on another thread it raises EThread.
bool CheckSynchronize(int TimeoutMs = 0);

// Blocks until Done() holds. Done is checked under the lock of the main thread's queue, at the
// start and after each NotifyWaiters(), so it must only read state (atomics) and whoever makes it
// true calls NotifyWaiters() afterwards. On the main thread it runs queued calls and sent
// messages meanwhile, as WaitFor does, so a thread that hands something to the main thread
// before it makes Done() true can always get there.
void WaitUntil(const std::function<bool()>& Done);
// Wakes every thread blocked in WaitUntil to check its condition again.
void NotifyWaiters() noexcept;

// Installs the hook that tells the main loop that work is queued; it is called on the queuing
// thread after each call or message is queued, so it must only post a wake-up (for example a
// queued call that runs CheckSynchronize). Returns the previous hook.
std::function<void()> SetWakeMainThread(std::function<void()> Hook);

bool IsMainThread() noexcept;
// Declares the calling thread the main thread.
void SetMainThread() noexcept;

} // namespace zv
