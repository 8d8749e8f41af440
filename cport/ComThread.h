// TComThread: the event thread of an open port.
//
// It waits with one overlapped WaitCommEvent for the line events of the port's Events and hands
// each wake-up to the application by the port's SyncMethod (see ComPort.h). It never polls: a
// quiet line costs no wake-ups.
#pragma once

#include "cport/ComTypes.h"
#include "platform/win32.h"
#include "toolkit/Thread.h"

#include <array>
#include <atomic>
#include <memory>

namespace zv {

class TCustomComPort;

// One line event as the event thread hands it over: its EV_* mask bit (the message parameter of
// the smWindowSync hand-off) and the port's handler.
struct TEventHandler {
    TComEvent Event;
    DWORD Mask;
    void (TCustomComPort::*Call)();
};
// The order in which the events of one wake-up are handed over.
extern const std::array<TEventHandler, EnumCount<TComEvent>> EventOrder;

class TComThread : public TThread {
public:
    // Sets the device's event mask from the port's Events and starts waiting, at the port's
    // EventThreadPriority.
    explicit TComThread(TCustomComPort* AComPort);
    // Stop, then wait until Execute has returned (the main thread keeps serving hand-offs).
    ~TComThread() override;

    // Signals the stop event; the thread ends at its next wait.
    void Stop();

    // Finished threads detached by a port closed from inside one of their own callbacks are
    // joined and freed here (every Open and Close calls it). WaitForDetached joins all of them;
    // call it on the main thread outside any port callback (tests, program end).
    static void ReapDetached();
    static void WaitForDetached();
    static int DetachedCount();

    // The events of the last wake-up.
    TComEvents PendingEvents() const noexcept { return FPendingEvents; }

protected:
    void Execute() override;

private:
    friend class TCustomComPort;

    void DispatchComMsg();
    void DoEvents();
    void SendEvents();
    // The port let go of the thread from inside one of its callbacks: the thread must not touch
    // the port or the device again and ends after the current hand-off. The port has done the
    // final SetCommMask/PurgeComm itself. Ownership passes to the list of detached threads.
    void Detach();

    TCustomComPort* FComPort;
    // Copies of the port's state, fixed for the thread's life.
    HANDLE FHandle;
    HWND FWindow;
    TSyncMethod FSyncMethod;
    HANDLE FStopEvent;
    TComEvents FPendingEvents;
    // The device wait's record and mask live as long as the thread object: a wait the device
    // could not end (SetCommMask refused on a device that is gone) is ended when the device is
    // closed, which the port does before it frees the thread.
    OVERLAPPED FOverlapped{};
    DWORD FMask = 0;
    std::atomic<bool> FDetached{false};
    // smNone: set by Open once OnAfterOpen has returned. The hand-offs run on this thread there,
    // and none may come before the opening has been announced. Shared, so that Open can set it
    // whatever has become of the thread meanwhile. Empty in the other modes and once passed.
    std::shared_ptr<void> FAnnounced;
};

} // namespace zv
