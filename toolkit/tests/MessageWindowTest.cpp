#include "toolkit/MessageWindow.h"
#include "toolkit/Exception.h"
#include "toolkit/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zv {
namespace {

constexpr UINT WM_PORT = WM_USER + 1;

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

// A window that lives for one test.
struct TWindow {
    explicit TWindow(TWndMethod method) : Handle(AllocateHWnd(std::move(method))) {}
    ~TWindow() { DeallocateHWnd(Handle); }
    HWND Handle;
};

// A one-shot flag to wait on.
struct TFlag {
    std::mutex Mutex;
    std::condition_variable Cv;
    bool Set = false;
    void Raise() {
        {
            std::lock_guard lock(Mutex);
            Set = true;
        }
        Cv.notify_all();
    }
    void Wait() {
        std::unique_lock lock(Mutex);
        Cv.wait(lock, [&] { return Set; });
    }
};

TEST(MessageWindowTest, SentOnTheMainThreadTheMethodRunsDirectly) {
    BOOL inSend = TRUE;
    TWindow window([&](TMessage& m) {
        inSend = InSendMessage();
        m.Result = m.Msg == WM_PORT ? static_cast<LRESULT>(m.WParam + 1) : 0;
    });
    EXPECT_EQ(SendMessageA(window.Handle, WM_PORT, 41, 0), 42);
    EXPECT_EQ(inSend, FALSE);
    EXPECT_EQ(ReplyMessage(1), FALSE);
    EXPECT_EQ(DefWindowProcA(window.Handle, WM_CLOSE, 0, 0), 0);
    EXPECT_EQ(SendMessageA(nullptr, WM_PORT, 0, 0), 0);
}

TEST(MessageWindowTest, MessagesAndSynchronizeCallsRunInTheOrderQueued) {
    std::vector<std::string> log;
    std::vector<BOOL> inSend;
    TWindow window([&](TMessage& m) {
        inSend.push_back(InSendMessage());
        if (m.WParam % 2 == 0)
            ReplyMessage(static_cast<LRESULT>(m.WParam)); // sender goes on at once
        log.push_back("msg " + std::to_string(m.WParam));
        m.Result = static_cast<LRESULT>(m.WParam) * 10;
    });
    std::vector<LRESULT> results;
    TFuncThread thread([&](TFuncThread& self) {
        for (WPARAM i = 0; i < 20; ++i) {
            results.push_back(SendMessageA(window.Handle, WM_PORT, i, 0));
            self.Synchronize([&log, i] { log.push_back("sync " + std::to_string(i)); });
        }
    });
    thread.Start();
    thread.WaitFor();
    std::vector<std::string> expected;
    std::vector<LRESULT> expectedResults;
    for (WPARAM i = 0; i < 20; ++i) {
        expected.push_back("msg " + std::to_string(i));
        expected.push_back("sync " + std::to_string(i));
        expectedResults.push_back(i % 2 == 0 ? static_cast<LRESULT>(i)
                                             : static_cast<LRESULT>(i) * 10);
    }
    EXPECT_EQ(log, expected);
    EXPECT_EQ(results, expectedResults); // a reply's value wins over the method's result
    for (const BOOL b : inSend)
        EXPECT_EQ(b, TRUE);
}

// The sender is released by ReplyMessage while the window method is still running: the method
// waits until the sender reports that it is free, which would never happen otherwise.
TEST(MessageWindowTest, ReplyMessageReleasesTheSenderAtOnce) {
    TFlag senderFree;
    BOOL secondReply = TRUE;
    TWindow window([&](TMessage& m) {
        ASSERT_EQ(InSendMessage(), TRUE);
        EXPECT_EQ(ReplyMessage(5), TRUE);
        senderFree.Wait();
        secondReply = ReplyMessage(6);
        m.Result = 7;
    });
    LRESULT result = 0;
    TFuncThread thread([&](TFuncThread&) {
        result = SendMessageA(window.Handle, WM_PORT, 0, 0);
        senderFree.Raise();
    });
    thread.Start();
    EXPECT_TRUE(CheckSynchronize(-1));
    thread.WaitFor();
    EXPECT_EQ(result, 5);
#ifndef _WIN32
    // Ours answers FALSE once the sender is released; Win32's goes on answering TRUE while the
    // thread handles a sent message.
    EXPECT_EQ(secondReply, FALSE);
#else
    (void)secondReply;
#endif
}

// The port's window hand-off at close: the event thread is inside SendMessageA while the main
// thread waits for it; then a message arrives for a window deallocated meanwhile.
TEST(MessageWindowTest, WaitForServesSentMessagesAndAGoneWindowReleasesItsSender) {
    int handled = 0;
    HWND wnd = AllocateHWnd([&](TMessage& m) {
        ++handled;
        m.Result = 1;
    });
    std::promise<void> sending;
    std::vector<LRESULT> results;
    TFuncThread thread([&](TFuncThread& self) {
        sending.set_value();
        do
            results.push_back(SendMessageA(wnd, WM_PORT, 1, 0));
        while (!self.Terminated());
    });
    thread.Start();
    sending.get_future().wait();
    thread.Terminate();
    thread.WaitFor();
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results.back(), 1);
    EXPECT_EQ(handled, static_cast<int>(results.size()));

#ifndef _WIN32
    // Our message queue: queued (the wake hook tells), then the window goes before the main
    // thread serves it. Win32 queues sent messages out of our sight.
    TFlag queued;
    std::function<void()> previous = SetWakeMainThread([&] { queued.Raise(); });
    LRESULT late = -1;
    TFuncThread sender([&](TFuncThread&) { late = SendMessageA(wnd, WM_PORT, 2, 0); });
    sender.Start();
    queued.Wait();
    DeallocateHWnd(wnd);
    sender.WaitFor();
    SetWakeMainThread(std::move(previous));
    EXPECT_EQ(late, 0);
    EXPECT_EQ(handled, static_cast<int>(results.size()));

    // Unknown now: refused at once, nothing queued.
    TFuncThread third([&](TFuncThread&) { late = SendMessageA(wnd, WM_PORT, 3, 0); });
    third.Start();
    third.WaitFor();
    EXPECT_EQ(late, 0);
    EXPECT_FALSE(CheckSynchronize());
#else
    DeallocateHWnd(wnd);
#endif
}

// The window hand-off's close from inside a handler, when the method has not replied: waiting
// for the sender releases it, and the method runs on.
TEST(MessageWindowTest, DestroyingTheSenderFromInsideTheWindowMethod) {
    TFuncThread* thread = nullptr;
    bool destroyed = false;
    BOOL replyAfterRelease = TRUE;
    TWindow window([&](TMessage& m) {
        if (m.WParam != 3)
            return;
        delete thread;
        destroyed = true;
        replyAfterRelease = ReplyMessage(1);
    });
    thread = new TFuncThread([&](TFuncThread& self) {
        for (WPARAM i = 0; !self.Terminated(); ++i)
            SendMessageA(window.Handle, WM_PORT, i, 0);
    });
    thread->Start();
    while (!destroyed)
        CheckSynchronize(-1);
#ifndef _WIN32
    EXPECT_EQ(replyAfterRelease, FALSE); // Win32 answers TRUE while a sent message is handled
#else
    (void)replyAfterRelease;
#endif
}

// Also when the application's handler raises in turn: the sender still gets its answer, and
// the main thread goes on serving.
TEST(MessageWindowTest, AnExceptionInTheWindowMethodGoesToTheApplicationHandler) {
    for (const bool handlerRaises : {false, true}) {
        SCOPED_TRACE(handlerRaises ? "the handler raises" : "the handler returns");
        std::string seen;
        auto previous = SetApplicationExceptionHandler([&](const std::exception& e) {
            seen = e.what();
            if (handlerRaises)
                throw Exception("the handler failed too");
        });
        TWindow window([](TMessage& m) {
            if (m.WParam == 1)
                ReplyMessage(9);
            throw Exception("handler failed " + std::to_string(m.WParam));
        });
        std::vector<LRESULT> results;
        TFuncThread thread([&](TFuncThread&) {
            results.push_back(SendMessageA(window.Handle, WM_PORT, 0, 0));
            results.push_back(SendMessageA(window.Handle, WM_PORT, 1, 0));
        });
        thread.Start();
        EXPECT_NO_THROW(thread.WaitFor());
        SetApplicationExceptionHandler(std::move(previous));
        EXPECT_EQ(results, (std::vector<LRESULT>{0, 9}));
        EXPECT_EQ(seen, "handler failed 1");
        EXPECT_EQ(InSendMessage(), FALSE); // no message is left marked as being handled
    }
#ifndef _WIN32
    // The main thread's own direct send passes the exception to the caller (on Windows it goes
    // to the handler too: it cannot cross the system's frames).
    TWindow window([](TMessage&) { throw Exception("handler failed"); });
    EXPECT_THROW(SendMessageA(window.Handle, WM_PORT, 2, 0), Exception);
#endif
}

TEST(MessageWindowTest, AWindowMayBeDeallocatedFromInsideItsOwnMethod) {
    HWND wnd = nullptr;
    int calls = 0;
    wnd = AllocateHWnd([&](TMessage& m) {
        ++calls;
        DeallocateHWnd(wnd);
        m.Result = calls; // the method is still whole here
    });
    EXPECT_EQ(SendMessageA(wnd, WM_PORT, 0, 0), 1);
    EXPECT_EQ(SendMessageA(wnd, WM_PORT, 0, 0), 0);
    EXPECT_EQ(calls, 1);
}

} // namespace
} // namespace zv
