#include "cport/ComThread.h"

#include "cport/ComPort.h"
#include "toolkit/Exception.h"
#include "toolkit/MessageWindow.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zv {

namespace {

// Threads let go by a port closed from inside one of their own callbacks. They end by
// themselves; whoever comes next joins and frees them. The list is reached from the main thread
// and, in smNone mode, from event threads, hence the lock.
struct TDetachedThreads {
    std::mutex Lock;
    std::vector<std::unique_ptr<TComThread>> Threads;

    ~TDetachedThreads() {
        // Program end: they have all been told to stop and never hand off again.
        for (auto& thread : Threads)
            thread.reset();
    }
};

TDetachedThreads& Detached() {
    static TDetachedThreads list; // first use comes after the toolkit's own statics
    return list;
}

// A device without modem lines (Windows drivers of some virtual ports, Wine over a
// pseudo-terminal) refuses a wait whose mask asks for their changes. Their events cannot come
// from it anyway: the mask is narrowed to the others, which still come. False when the refusal
// had another cause, or nothing was left to drop.
bool DropModemLineEvents(HANDLE Handle, DWORD Error) {
    constexpr DWORD modemLines = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
    if (Error != ERROR_NOT_SUPPORTED && Error != ERROR_INVALID_FUNCTION)
        return false;
    DWORD mask = 0;
    if (!GetCommMask(Handle, &mask) || (mask & modemLines) == 0)
        return false;
    return SetCommMask(Handle, mask & ~modemLines) != FALSE;
}

} // namespace

constinit const std::array<TEventHandler, EnumCount<TComEvent>> EventOrder = {{
    {evError, EV_ERR, &TCustomComPort::CallError},
    {evRxChar, EV_RXCHAR, &TCustomComPort::CallRxChar},
    {evTxEmpty, EV_TXEMPTY, &TCustomComPort::CallTxEmpty},
    {evBreak, EV_BREAK, &TCustomComPort::CallBreak},
    {evRing, EV_RING, &TCustomComPort::CallRing},
    {evCTS, EV_CTS, &TCustomComPort::CallCTSChange},
    {evDSR, EV_DSR, &TCustomComPort::CallDSRChange},
    {evRxFlag, EV_RXFLAG, &TCustomComPort::CallRxFlag},
    {evRLSD, EV_RLSD, &TCustomComPort::CallRLSDChange},
    {evRx80Full, EV_RX80FULL, &TCustomComPort::CallRx80Full},
}};

TComThread::TComThread(TCustomComPort* AComPort)
    : TThread(true), FComPort(AComPort), FHandle(AComPort->FHandle), FWindow(AComPort->FWindow),
      FSyncMethod(AComPort->FSyncMethod) {
    FStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FOverlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (FStopEvent == nullptr || FOverlapped.hEvent == nullptr) {
        const std::int32_t error = LastOsError();
        if (FStopEvent != nullptr)
            CloseHandle(FStopEvent);
        if (FOverlapped.hEvent != nullptr)
            CloseHandle(FOverlapped.hEvent);
        throw EComPort(CError_OpenFailed, error);
    }
    if (FSyncMethod == smNone) {
        const HANDLE announced = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (announced == nullptr) {
            const std::int32_t error = LastOsError();
            CloseHandle(FStopEvent);
            CloseHandle(FOverlapped.hEvent);
            throw EComPort(CError_OpenFailed, error);
        }
        FAnnounced = std::shared_ptr<void>(announced, [](void* h) { CloseHandle(h); });
    }
    SetPriority(AComPort->FEventThreadPriority);
    SetCommMask(FHandle, ComEventsToMask(AComPort->FEvents));
    try {
        Start();
    } catch (...) {
        // No thread (the system's limit on threads): the destructor does not run for an object
        // whose constructor failed, so the events are closed here.
        CloseHandle(FStopEvent);
        CloseHandle(FOverlapped.hEvent);
        throw;
    }
}

TComThread::~TComThread() {
    Stop();
    WaitFor();
    CloseHandle(FStopEvent);
    CloseHandle(FOverlapped.hEvent);
}

void TComThread::Stop() {
    SetEvent(FStopEvent);
    Sleep(0);
}

void TComThread::Execute() {
    if (FOverlapped.hEvent == nullptr)
        return;
    const HANDLE handles[2] = {FStopEvent, FOverlapped.hEvent};
    bool pending = false; // a device wait is outstanding and writes FMask when it completes
    for (;;) {
        FMask = 0;
        if (!WaitCommEvent(FHandle, &FMask, &FOverlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                if (DropModemLineEvents(FHandle, error))
                    continue;
                break; // the device refuses to wait (unplugged): waiting again would only spin
            }
        }
        pending = true;
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break; // stopped, or the wait itself failed
        pending = false;
        DWORD transferred = 0;
        if (FAnnounced) {
            // The first wake-up waits until the opening has been announced.
            const HANDLE gate[2] = {FStopEvent, FAnnounced.get()};
            if (WaitForMultipleObjects(2, gate, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                break;
            FAnnounced.reset();
        }
        if (GetOverlappedResult(FHandle, &FOverlapped, &transferred, FALSE)) {
            FPendingEvents = MaskToComEvents(FMask);
            if (!FPendingEvents.empty())
                DispatchComMsg();
        }
        if (FDetached)
            break;
    }
    if (!FDetached) {
        // Mask 0 ends a wait still pending; the device completes it into FMask and FOverlapped,
        // so it is let finish first. A device that refuses (gone) ends it when it is closed.
        if (SetCommMask(FHandle, 0) && pending) {
            DWORD transferred = 0;
            GetOverlappedResult(FHandle, &FOverlapped, &transferred, TRUE);
        }
        PurgeComm(FHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
}

void TComThread::DispatchComMsg() {
    switch (FSyncMethod) {
    case smThreadSync:
        try {
            Synchronize([this] { DoEvents(); });
        } catch (...) {
            HandleCurrentExceptionQuietly();
        }
        break;
    case smWindowSync:
        SendEvents();
        break;
    case smNone:
        DoEvents();
        break;
    }
}

void TComThread::DoEvents() {
    if (FDetached)
        return;
    TCustomComPort* port = FComPort;
    if (port->Closing())
        return; // a close has begun: the wake-up is dropped
    const std::thread::id previous = port->FDispatchThread.exchange(std::this_thread::get_id());
    for (const TEventHandler& handler : EventOrder) {
        if (!FPendingEvents.contains(handler.Event))
            continue;
        // A callback may have closed the port (the thread is then detached, and the port
        // perhaps destroyed) or begun a close.
        if (FDetached || port->Closing())
            break;
        try {
            (port->*handler.Call)();
        } catch (...) {
            // A raising callback, or an exception handler raising in turn, must not end the
            // thread and leave the port deaf.
            HandleCurrentExceptionQuietly();
        }
    }
    if (!FDetached)
        port->FDispatchThread = previous;
}

void TComThread::SendEvents() {
    for (const TEventHandler& handler : EventOrder) {
        if (!FPendingEvents.contains(handler.Event))
            continue;
        if (FDetached || WaitForSingleObject(FStopEvent, 0) == WAIT_OBJECT_0)
            return;
        SendMessageA(FWindow, CM_COMPORT_EVENT, handler.Mask, 0);
    }
}

void TComThread::Detach() {
    FDetached = true;
    TDetachedThreads& list = Detached();
    std::lock_guard<std::mutex> lock(list.Lock);
    list.Threads.emplace_back(this);
}

void TComThread::ReapDetached() {
    std::vector<std::unique_ptr<TComThread>> finished;
    {
        TDetachedThreads& list = Detached();
        std::lock_guard<std::mutex> lock(list.Lock);
        auto& threads = list.Threads;
        const auto done = std::stable_partition(threads.begin(), threads.end(),
                                                [](const auto& t) { return !t->Finished(); });
        std::move(done, threads.end(), std::back_inserter(finished));
        threads.erase(done, threads.end());
    }
    finished.clear(); // joins at once: they have ended
}

void TComThread::WaitForDetached() {
    std::vector<std::unique_ptr<TComThread>> all;
    {
        TDetachedThreads& list = Detached();
        std::lock_guard<std::mutex> lock(list.Lock);
        all.swap(list.Threads);
    }
    all.clear();
}

int TComThread::DetachedCount() {
    TDetachedThreads& list = Detached();
    std::lock_guard<std::mutex> lock(list.Lock);
    return static_cast<int>(list.Threads.size());
}

} // namespace zv
