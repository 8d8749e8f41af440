#include "toolkit/Thread.h"
#include "toolkit/Exception.h"
#include "toolkit/MessageWindow.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace zv {
namespace {

// A thread whose Execute is a callable; it ends its own thread in its destructor, as every
// derived class must.
class TFuncThread : public TThread {
public:
    explicit TFuncThread(std::function<void(TFuncThread&)> body)
        : TThread(true), FBody(std::move(body)) {}
    ~TFuncThread() override { TerminateAndWait(); }
    using TThread::Synchronize;

protected:
    void Execute() override { FBody(*this); }

private:
    std::function<void(TFuncThread&)> FBody;
};

// Restores the wake-up hook when a test ends.
struct WakeHookGuard {
    ~WakeHookGuard() { SetWakeMainThread(nullptr); }
};

TEST(ThreadTest, TheTestRunnerThreadIsTheMainThread) {
    EXPECT_TRUE(IsMainThread());
    bool inThread = true;
    std::thread([&] { inThread = IsMainThread(); }).join();
    EXPECT_FALSE(inThread);
}

TEST(ThreadTest, SynchronizeRunsOnTheMainThreadInOrderAndExceptionsTravelBack) {
    std::vector<std::string> log;
    std::string caught;
    bool typeKept = false;
    TFuncThread thread([&](TFuncThread& self) {
        for (int i = 0; i < 3; ++i)
            self.Synchronize(
                [&, i] { log.push_back(std::to_string(i) + (IsMainThread() ? "m" : "?")); });
        try {
            self.Synchronize([] { throw EConvertError("bad value"); });
        } catch (const EConvertError& e) {
            typeKept = true;
            caught = e.Message();
        }
    });
    thread.Start();
    // The thread blocks in each call, so each round finds exactly one queued.
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(CheckSynchronize(-1));
    thread.WaitFor();
    EXPECT_EQ(log, (std::vector<std::string>{"0m", "1m", "2m"}));
    EXPECT_TRUE(typeKept);
    EXPECT_EQ(caught, "bad value");
}

TEST(ThreadTest, SynchronizeOnTheMainThreadRunsDirectly) {
    int runs = 0;
    TThread::Synchronize(nullptr, [&] { ++runs; });
    EXPECT_EQ(runs, 1);
    EXPECT_THROW(TThread::Synchronize(nullptr, [] { throw Exception("direct"); }), Exception);
    EXPECT_FALSE(CheckSynchronize());
}

// The deadlock case: the thread is blocked in Synchronize while the main thread waits for it
// (WaitFor directly, or through the destructor) without ever running CheckSynchronize.
TEST(ThreadTest, WaitForServesSynchronizeCallsOfTheThreadItWaitsFor) {
    for (const bool viaDestructor : {false, true}) {
        SCOPED_TRACE(viaDestructor ? "destructor" : "WaitFor");
        std::promise<void> entered;
        int served = 0;
        auto thread = std::make_unique<TFuncThread>([&](TFuncThread& self) {
            entered.set_value();
            while (!self.Terminated())
                self.Synchronize([&] { ++served; });
            self.Synchronize([&] { ++served; });
        });
        thread->Start();
        entered.get_future().wait();
        thread->Terminate();
        if (viaDestructor) {
            thread.reset();
        } else {
            thread->WaitFor();
            EXPECT_TRUE(thread->Finished());
        }
        EXPECT_GE(served, 1);
    }
}

// WaitUntil on the main thread serves the queue and takes messages sent to its windows, so a
// thread that hands something to the main thread before it makes the condition true gets there;
// on another thread it just waits. Either waiter wakes at NotifyWaiters. A watchdog ends a wait
// that would not end, so that the failure shows instead of a hang.
TEST(ThreadTest, WaitUntilServesTheQueueAndWakesAtNotify) {
    enum HandOff { Synchronized, SentMessage, NoneOtherThreadWaits };
    for (const HandOff handOff : {Synchronized, SentMessage, NoneOtherThreadWaits}) {
        SCOPED_TRACE(handOff);
        const bool mainWaits = handOff != NoneOtherThreadWaits;
        std::atomic<bool> done{false};
        std::atomic<int> served{0};
        const HWND window = AllocateHWnd([&](TMessage& m) {
            ++served;
            m.Result = 1;
        });
        TFuncThread setter([&](TFuncThread& self) {
            if (handOff == Synchronized)
                self.Synchronize([&] { ++served; });
            else if (handOff == SentMessage)
                (void)SendMessageA(window, WM_USER + 1, 0, 0);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            done = true;
            NotifyWaiters();
        });
        std::atomic<bool> watchdogFired{false};
        std::atomic<bool> finished{false};
        std::thread watchdog([&] {
            // Looks every 10 ms: a timed wait on a promise is not woken early under every
            // Windows runtime.
            for (int i = 0; i < 500 && !finished; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!finished) {
                watchdogFired = true;
                done = true;
                NotifyWaiters();
            }
        });
        setter.Start();
        const auto wait = [&] { WaitUntil([&] { return done.load(); }); };
        if (mainWaits)
            wait();
        else
            std::async(std::launch::async, wait).get();
        finished = true;
        watchdog.join();
        EXPECT_FALSE(watchdogFired.load());
        while (!setter.Finished())
            CheckSynchronize(10); // a sender the wait failed to serve is let go here
        EXPECT_EQ(served.load(), mainWaits ? 1 : 0);
        setter.WaitFor();
        DeallocateHWnd(window);
    }
}

// A handler run through Synchronize that destroys the very thread blocked in it (a callback
// that closes the port whose event thread called it): the wait releases the thread from the
// call, the thread ends, and the handler runs on to its end.
TEST(ThreadTest, DestroyingAThreadFromInsideItsOwnSynchronizedCall) {
    int calls = 0;
    bool destroyed = false;
    bool handlerFinished = false;
    bool finishedAtJoin = false;
    TFuncThread* thread = nullptr;
    thread = new TFuncThread([&](TFuncThread& self) {
        while (!self.Terminated())
            self.Synchronize([&] {
                if (++calls < 3)
                    return;
                thread->Terminate();
                thread->WaitFor();
                finishedAtJoin = thread->Finished();
                EXPECT_TRUE(IsMainThread());
                delete thread;
                destroyed = true;
                handlerFinished = true;
                throw Exception("raised after the release");
            });
    });
    std::string reported;
    auto previous =
        SetApplicationExceptionHandler([&](const std::exception& e) { reported = e.what(); });
    thread->Start();
    while (!destroyed)
        CheckSynchronize(-1);
    SetApplicationExceptionHandler(std::move(previous));
    EXPECT_EQ(reported, "raised after the release");
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(finishedAtJoin);
    EXPECT_TRUE(handlerFinished);
    EXPECT_FALSE(CheckSynchronize());
}

TEST(ThreadTest, IsCurrentThread) {
    bool inside = false;
    TFuncThread thread([&](TFuncThread& self) { inside = self.IsCurrentThread(); });
    EXPECT_FALSE(thread.IsCurrentThread());
    thread.Start();
    thread.WaitFor();
    EXPECT_TRUE(inside);
    EXPECT_FALSE(thread.IsCurrentThread());
}

TEST(ThreadTest, WakeHookIsCalledFromTheQueuingThreadAndCheckSynchronizeWaitsForWork) {
    WakeHookGuard guard;
    std::atomic<int> wakes{0};
    std::atomic<bool> wokenOffMain{false};
    SetWakeMainThread([&] {
        ++wakes;
        wokenOffMain = !IsMainThread();
    });
    int runs = 0;
    TFuncThread thread([&](TFuncThread& self) { self.Synchronize([&] { ++runs; }); });
    thread.Start();
    EXPECT_TRUE(CheckSynchronize(-1));
    thread.WaitFor();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_TRUE(wokenOffMain.load());
    EXPECT_FALSE(CheckSynchronize(1)); // nothing queued: returns after the time-out
}

TEST(ThreadTest, RefusedOperations) {
    std::string offMain;
    std::thread([&] {
        try {
            CheckSynchronize();
        } catch (const EThread& e) {
            offMain = e.Message();
        }
    }).join();
    EXPECT_FALSE(offMain.empty());

    std::string selfWait;
    TFuncThread thread([&](TFuncThread& self) {
        try {
            self.WaitFor();
        } catch (const EThread& e) {
            selfWait = e.Message();
        }
    });
    thread.Start();
    EXPECT_THROW(thread.Start(), EThread);
    thread.WaitFor();
    thread.WaitFor(); // a second wait returns at once
    EXPECT_EQ(selfWait, "A thread cannot wait for itself");

    TFuncThread never([](TFuncThread&) {});
    never.WaitFor(); // never started: nothing to wait for
    EXPECT_FALSE(never.Finished());
    EXPECT_EQ(never.ThreadID(), 0u);
}

TEST(ThreadTest, FatalExceptionAndOnTerminate) {
    TFuncThread thread([](TFuncThread&) { throw Exception("execute failed"); });
    bool terminatedOnMain = false;
    thread.OnTerminate = [&](TObject* sender) {
        terminatedOnMain = IsMainThread() && sender == &thread;
    };
    thread.Start();
    EXPECT_NE(thread.ThreadID(), 0u);
    thread.WaitFor(); // serves the synchronised OnTerminate
    EXPECT_TRUE(terminatedOnMain);
    ASSERT_TRUE(thread.FatalException());
    EXPECT_THROW(std::rethrow_exception(thread.FatalException()), Exception);
}

TEST(ThreadTest, ADestructorCalledOnTheThreadItselfDetachesInsteadOfWaiting) {
    struct TSelfDeleting : TThread {
        explicit TSelfDeleting(std::promise<void>& done) : TThread(true), Done(done) {}
        ~TSelfDeleting() override { TerminateAndWait(); }
        std::promise<void>& Done;
        void Execute() override {
            auto& done = Done;
            delete this;
            done.set_value();
        }
    };
    std::promise<void> done;
    auto future = done.get_future();
    (new TSelfDeleting(done))->Start();
    future.wait();
}

#ifndef _WIN32
int niceOfThisThread() {
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
}
#endif

// Every level can be asked for, before the start and while running; none fails. Lower levels
// are always granted; higher ones only where the process may have them.
TEST(ThreadTest, PrioritiesNeverFail) {
    const TThreadPriority all[] = {tpIdle,   tpLowest,  tpLower,       tpNormal,
                                   tpHigher, tpHighest, tpTimeCritical};
    const int win32[] = {-15, -2, -1, 0, 1, 2, 15};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(ThreadPriorityToWin32(all[i]), win32[i]);

    for (const TThreadPriority p : all) {
        SCOPED_TRACE(static_cast<int>(p));
        int niceAtStart = 0;
        int niceBase = 0;
        std::promise<void> go, measured;
        auto goFuture = go.get_future();
        TFuncThread thread([&](TFuncThread&) {
#ifndef _WIN32
            niceAtStart = niceOfThisThread();
#endif
            measured.set_value();
            goFuture.wait();
        });
#ifndef _WIN32
        niceBase = niceOfThisThread();
#endif
        thread.SetPriority(p);
        EXPECT_EQ(thread.Priority(), p);
        thread.Start();
        measured.get_future().wait();
        for (const TThreadPriority q : all)
            thread.SetPriority(q); // while running: no failure, no exception
        thread.SetPriority(p);
        go.set_value();
        thread.WaitFor();
        thread.SetPriority(tpNormal); // after the end: nothing to apply
#ifndef _WIN32
        if (p < tpNormal && niceBase < 19)
            EXPECT_GT(niceAtStart, niceBase);
        else
            EXPECT_LE(niceAtStart, niceBase);
#else
        (void)niceAtStart;
        (void)niceBase;
#endif
    }
}

} // namespace
} // namespace zv
