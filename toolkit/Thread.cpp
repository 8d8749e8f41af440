#include "toolkit/Thread.h"

#include "toolkit/SyncQueue.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "platform/win32.h"
#else
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace zv {

// ---------------------------------------------------------------------------------------------
// The main thread's queue. One mutex guards the queue and every thread's Finished flag; two
// condition variables: one the main thread waits on (work queued, or a thread it waits for
// finished), one the other threads wait on (a thread they wait for finished). A sender waits
// for its request on the request's own lock (see TSyncRequest). The objects are never
// destroyed, so that a thread still running while the process exits finds them intact.

namespace {

struct TSyncQueue {
    std::mutex Mutex;
    std::condition_variable MainCv;
    std::condition_variable OthersCv;
    std::deque<std::shared_ptr<detail::TSyncRequest>> Requests;

    std::mutex HookMutex;
    std::function<void()> WakeHook;
#ifdef _WIN32
    // Set with every notification of MainCv, for the main thread's message-aware wait.
    HANDLE MainWake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
#endif
};

TSyncQueue& syncQueue() {
    static TSyncQueue* queue = new TSyncQueue;
    return *queue;
}

// The initial thread runs the initialisation of static objects, so this records it as the
// main thread unless the program declares another.
std::atomic<std::thread::id> mainThreadId{std::this_thread::get_id()};

// Main thread only: the requests being run, innermost last; nullptr marks a direct call.
std::vector<detail::TSyncRequest*>& runningRequests() {
    static thread_local std::vector<detail::TSyncRequest*> running;
    return running;
}

void wakeMainThread() {
    auto& queue = syncQueue();
    std::function<void()> hook;
    {
        std::lock_guard lock(queue.HookMutex);
        hook = queue.WakeHook;
    }
    if (!hook)
        return;
    // The request is queued already and its sender must wait for it whatever the hook does
    // (and whatever the application's handler does with the hook's exception).
    try {
        hook();
    } catch (...) {
        HandleCurrentExceptionQuietly();
    }
}

// Tells the main thread that its queue changed or a thread it may wait for finished.
void notifyMain(TSyncQueue& queue) {
    queue.MainCv.notify_all();
#ifdef _WIN32
    ::SetEvent(queue.MainWake);
#endif
}

using TDeadline = std::optional<std::chrono::steady_clock::time_point>;

// The main thread's wait until Ready() holds (under the queue's lock) or the deadline passes.
// On Windows a thread that sends a message to a window of the main thread is blocked until the
// main thread takes the message, which only a thread waiting for messages does: there the wait
// also wakes for sent messages and delivers them (PeekMessage runs them), and returns after
// delivering. Returns true when Ready() holds or a message was delivered.
template <typename TReady>
bool waitMain(std::unique_lock<std::mutex>& lock, TDeadline deadline, TReady Ready) {
    auto& queue = syncQueue();
#ifdef _WIN32
    using namespace std::chrono;
    while (!Ready()) {
        DWORD ms = INFINITE;
        if (deadline) {
            const auto left = ceil<milliseconds>(*deadline - steady_clock::now()).count();
            if (left <= 0)
                return false;
            ms = static_cast<DWORD>(left);
        }
        lock.unlock();
        ::MsgWaitForMultipleObjectsEx(1, &queue.MainWake, ms, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        const bool sent = (HIWORD(::GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0;
        MSG msg;
        ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        lock.lock();
        if (sent)
            return true;
    }
    return true;
#else
    if (!deadline) {
        queue.MainCv.wait(lock, Ready);
        return true;
    }
    return queue.MainCv.wait_until(lock, *deadline, Ready);
#endif
}

// Runs one request on the main thread and releases its sender, whatever the request and the
// application's exception handler raise: a sender left waiting would wait for ever.
void runRequest(const std::shared_ptr<detail::TSyncRequest>& request) {
    auto& running = runningRequests();
    running.push_back(request.get());
    std::intptr_t result = 0;
    std::exception_ptr error;
    try {
        result = request->Method();
    } catch (...) {
        if (request->IsMessage)
            HandleCurrentExceptionQuietly();
        else
            error = std::current_exception();
    }
    running.pop_back();
    if (!detail::ReleaseRequest(*request, result, error) && error) {
        // The caller was released before the call ended (WaitFor from inside it): nobody waits
        // for the exception any more, so it goes where unhandled exceptions go.
        try {
            std::rethrow_exception(error);
        } catch (...) {
            HandleCurrentExceptionQuietly();
        }
    }
}

// Pops and runs the oldest request; the lock is released while it runs.
void runOldest(std::unique_lock<std::mutex>& lock) {
    auto& queue = syncQueue();
    auto request = std::move(queue.Requests.front());
    queue.Requests.pop_front();
    lock.unlock();
    runRequest(request);
    lock.lock();
}

} // namespace

namespace detail {

void QueueAndWait(const std::shared_ptr<TSyncRequest>& Request) {
    auto& queue = syncQueue();
    Request->Sender = std::this_thread::get_id();
    {
        std::lock_guard lock(queue.Mutex);
        queue.Requests.push_back(Request);
    }
    notifyMain(queue);
    wakeMainThread();
    std::unique_lock lock(Request->DoneMutex);
    Request->DoneCv.wait(lock, [&] { return Request->Done; });
}

TSyncRequest* CurrentRequest() noexcept {
    const auto& running = runningRequests();
    return running.empty() ? nullptr : running.back();
}

bool ReleaseRequest(TSyncRequest& Request, std::intptr_t Result, std::exception_ptr Error) {
    {
        std::lock_guard lock(Request.DoneMutex);
        if (Request.Done)
            return false;
        Request.Result = Result;
        Request.Error = std::move(Error);
        Request.Done = true;
    }
    Request.DoneCv.notify_all();
    return true;
}

TDirectCallScope::TDirectCallScope() {
    runningRequests().push_back(nullptr);
}
TDirectCallScope::~TDirectCallScope() {
    runningRequests().pop_back();
}

} // namespace detail

bool IsMainThread() noexcept {
    return std::this_thread::get_id() == mainThreadId.load();
}

void SetMainThread() noexcept {
    mainThreadId.store(std::this_thread::get_id());
}

std::function<void()> SetWakeMainThread(std::function<void()> Hook) {
    auto& queue = syncQueue();
    std::lock_guard lock(queue.HookMutex);
    auto previous = std::move(queue.WakeHook);
    queue.WakeHook = std::move(Hook);
    return previous;
}

bool CheckSynchronize(int TimeoutMs) {
    if (!IsMainThread())
        throw EThread("CheckSynchronize called on a thread that is not the main thread");
    auto& queue = syncQueue();
    std::unique_lock lock(queue.Mutex);
    const auto queued = [&] { return !queue.Requests.empty(); };
    bool ran = false; // a message delivered while waiting (Windows) counts
    if (TimeoutMs < 0)
        ran = waitMain(lock, std::nullopt, queued) && !queued();
    else if (TimeoutMs > 0)
        ran =
            waitMain(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs),
                     queued) &&
            !queued();
    // Only what is queued now: calls queued meanwhile wait for the next round, so a busy sender
    // cannot keep the main loop here for ever. Popping one at a time keeps the order even when a
    // call runs CheckSynchronize itself.
    std::size_t count = queue.Requests.size();
    ran = ran || count > 0;
    while (count-- > 0 && !queue.Requests.empty())
        runOldest(lock);
    return ran;
}

void WaitUntil(const std::function<bool()>& Done) {
    auto& queue = syncQueue();
    std::unique_lock lock(queue.Mutex);
    if (!IsMainThread()) {
        queue.OthersCv.wait(lock, Done);
        return;
    }
    // Messages sent to the main thread's windows are taken too (Windows): their senders may be
    // the threads that make Done() true.
    while (!Done()) {
        if (!queue.Requests.empty())
            runOldest(lock);
        else
            (void)waitMain(lock, std::nullopt, [&] { return Done() || !queue.Requests.empty(); });
    }
}

void NotifyWaiters() noexcept {
    auto& queue = syncQueue();
    {
        // A waiter checks its condition under this lock: taking it here orders the change
        // before the check, so no wake-up falls between the check and the wait.
        std::lock_guard lock(queue.Mutex);
    }
    notifyMain(queue);
    queue.OthersCv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Priorities

int ThreadPriorityToWin32(TThreadPriority Priority) noexcept {
    static constexpr int values[] = {-15, -2, -1, 0, 1, 2, 15};
    const auto index = static_cast<unsigned>(Priority);
    return index < std::size(values) ? values[index] : 0;
}

namespace {

#ifndef _WIN32
using TNativeThreadId = pid_t;

TNativeThreadId currentNativeThreadId() noexcept {
    return static_cast<TNativeThreadId>(::syscall(SYS_gettid));
}

// The nice value relative to the one the thread started with (inherited from its creator).
int niceOffset(TThreadPriority Priority) noexcept {
    static constexpr int offsets[] = {19, 10, 5, 0, -5, -10, -15};
    const auto index = static_cast<unsigned>(Priority);
    return index < std::size(offsets) ? offsets[index] : 0;
}

int currentNice(TNativeThreadId tid, int fallback) noexcept {
    errno = 0;
    const int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    return (value == -1 && errno != 0) ? fallback : value;
}

// Linux keeps a nice value per thread (setpriority on the TID). Lowering priority is always
// allowed; raising it needs CAP_SYS_NICE or RLIMIT_NICE room: when refused the thread keeps
// the level it has, silently.
void applyPriority(TNativeThreadId tid, int baseNice, TThreadPriority Priority) noexcept {
    if (tid <= 0)
        return;
    const int wanted = std::clamp(baseNice + niceOffset(Priority), -20, 19);
    if (currentNice(tid, wanted) == wanted)
        return;
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), wanted);
}
#endif

} // namespace

// ---------------------------------------------------------------------------------------------
// TThread

struct TThread::TState {
    std::thread Thread;
    std::mutex JoinMutex; // one joiner at a time
    std::atomic<bool> Started{false};
    std::atomic<bool> Terminated{false};
    std::atomic<bool> DestroyedByItself{false};
    std::atomic<TThreadPriority> Priority{tpNormal};
    std::atomic<TThreadID> Id{0};
    int BaseNice = 0;         // set before Id is published
    bool Finished = false;    // guarded by the queue's mutex
    std::exception_ptr Fatal; // written by the thread before Finished
    std::mutex StartMutex;
    std::condition_variable StartCv;
};

TThread::TThread(bool CreateSuspended)
    : FState(std::make_shared<TState>()), FStartPending(!CreateSuspended) {}

TThread::~TThread() {
    if (!FState->Started.load())
        return;
    if (FState->Thread.get_id() == std::this_thread::get_id()) {
        // Destroyed from inside Execute: the thread cannot join itself. It runs on detached and
        // touches nothing of this object after Execute returns.
        FState->DestroyedByItself = true;
        FState->Terminated = true;
        FState->Thread.detach();
        return;
    }
    TerminateAndWait();
}

void TThread::TerminateAndWait() noexcept {
    Terminate();
    if (IsCurrentThread())
        return;
    try {
        WaitFor();
    } catch (...) {
        HandleCurrentExceptionQuietly();
    }
}

void TThread::Start() {
    auto state = FState;
    {
        std::lock_guard lock(state->StartMutex);
        if (state->Started.load())
            throw EThread("Cannot call Start on a running or finished thread");
        // Nothing of this object is touched once the thread runs: Execute may delete it.
        FStartPending = false;
        try {
            state->Thread = std::thread(&TThread::Run, this, state);
        } catch (const std::exception& e) {
            throw EThread(std::string("Thread creation error: ") + e.what());
        }
        state->Started = true;
    }
    std::unique_lock lock(state->StartMutex);
    state->StartCv.wait(lock, [&] { return state->Id.load() != 0; });
}

bool TThread::Started() const noexcept {
    return FState->Started.load();
}

void TThread::Terminate() noexcept {
    FState->Terminated = true;
}

bool TThread::Terminated() const noexcept {
    return FState->Terminated.load();
}

bool TThread::Finished() const noexcept {
    std::lock_guard lock(syncQueue().Mutex);
    return FState->Finished;
}

void TThread::Run(TThread* Self, std::shared_ptr<TState> State) {
#ifndef _WIN32
    const TNativeThreadId tid = currentNativeThreadId();
    State->BaseNice = currentNice(tid, 0);
    {
        std::lock_guard lock(State->StartMutex);
        State->Id = static_cast<TThreadID>(tid);
    }
    State->StartCv.notify_all();
    applyPriority(tid, State->BaseNice, State->Priority.load());
#else
    {
        std::lock_guard lock(State->StartMutex);
        State->Id = static_cast<TThreadID>(::GetCurrentThreadId());
    }
    State->StartCv.notify_all();
    ::SetThreadPriority(::GetCurrentThread(), ThreadPriorityToWin32(State->Priority.load()));
#endif
    std::exception_ptr fatal;
    try {
        Self->Execute();
    } catch (...) {
        fatal = std::current_exception();
    }
    if (!State->DestroyedByItself.load()) {
        try {
            Self->DoTerminate();
        } catch (...) {
            if (!fatal)
                fatal = std::current_exception();
        }
    }
    auto& queue = syncQueue();
    {
        std::lock_guard lock(queue.Mutex);
        State->Fatal = fatal;
        State->Finished = true;
    }
    notifyMain(queue);
    queue.OthersCv.notify_all();
}

void TThread::DoTerminate() {
    if (OnTerminate)
        Synchronize([this] { OnTerminate(this); });
}

void TThread::WaitFor() {
    auto state = FState;
    if (!state->Started.load())
        return;
    if (state->Thread.get_id() == std::this_thread::get_id())
        throw EThread("A thread cannot wait for itself");
    auto& queue = syncQueue();
    {
        std::unique_lock lock(queue.Mutex);
        if (IsMainThread()) {
            // Waiting from inside one of the thread's own synchronised calls (a handler that
            // closes what the thread serves): the thread waits for that call to end and the call
            // waits for the thread. Release the thread from it now, as ReplyMessage would; the
            // call itself runs on to its end.
            const auto threadId = state->Thread.get_id();
            for (detail::TSyncRequest* running : runningRequests())
                if (running != nullptr && running->Sender == threadId)
                    detail::ReleaseRequest(*running, 0);
#ifdef _WIN32
            // Win32 does not tell who sent the message being handled: its sender is released
            // (the port's window hand-off closing the port waits for the very thread that sent).
            if (::InSendMessage())
                ::ReplyMessage(0);
#endif
            // Serve the queue while waiting: the thread may be blocked in a hand-off to us.
            while (!state->Finished) {
                if (!queue.Requests.empty())
                    runOldest(lock);
                else
                    (void)waitMain(lock, std::nullopt,
                                   [&] { return state->Finished || !queue.Requests.empty(); });
            }
        } else {
            queue.OthersCv.wait(lock, [&] { return state->Finished; });
        }
    }
    std::lock_guard join(state->JoinMutex);
    if (state->Thread.joinable())
        state->Thread.join();
}

TThreadPriority TThread::Priority() const noexcept {
    return FState->Priority.load();
}

void TThread::SetPriority(TThreadPriority Value) noexcept {
    if (static_cast<unsigned>(Value) > static_cast<unsigned>(tpTimeCritical))
        return;
    FState->Priority = Value;
    const TThreadID id = FState->Id.load();
    if (id == 0)
        return; // Run applies it at the start
    // Under the lock that guards Finished: the id belongs to this thread until it is finished.
    std::lock_guard lock(syncQueue().Mutex);
    if (FState->Finished)
        return;
#ifndef _WIN32
    applyPriority(static_cast<TNativeThreadId>(id), FState->BaseNice, Value);
#else
    if (HANDLE thread = ::OpenThread(THREAD_SET_INFORMATION, FALSE, id)) {
        ::SetThreadPriority(thread, ThreadPriorityToWin32(Value));
        ::CloseHandle(thread);
    }
#endif
}

TThreadID TThread::ThreadID() const noexcept {
    return FState->Id.load();
}

bool TThread::IsCurrentThread() const noexcept {
    return FState->Started.load() && FState->Thread.get_id() == std::this_thread::get_id();
}

std::exception_ptr TThread::FatalException() const {
    std::lock_guard lock(syncQueue().Mutex);
    return FState->Fatal;
}

void TThread::Synchronize(TThread* AThread, std::function<void()> Method) {
    (void)AThread;
    if (!Method)
        return;
    if (IsMainThread()) {
        Method();
        return;
    }
    auto request = std::make_shared<detail::TSyncRequest>();
    request->Method = [method = std::move(Method)]() -> std::intptr_t {
        method();
        return 0;
    };
    detail::QueueAndWait(request);
    if (request->Error)
        std::rethrow_exception(request->Error);
}

} // namespace zv
