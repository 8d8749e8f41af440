// The hidden utility window: a window handle whose messages go to one method, on the main
// thread. The port's window hand-off sends one message per line event to such a window.
//
// On POSIX a window is an entry in a process-wide table and SendMessageA is ours: sent from
// another thread, the message joins the main thread's queue (the queue of TThread::Synchronize,
// so calls and messages keep their order) and the sender blocks until the window method has
// returned or called ReplyMessage; sent on the main thread, it calls the method directly. The
// main thread serves sent messages in CheckSynchronize and while it waits in TThread::WaitFor.
// A message for a window that no longer exists (or is deallocated while the message waits)
// returns 0 at once. An exception escaping the window method goes, for a message from another
// thread, to the application's exception handler (the sender gets the result so far); on the
// main thread's own direct call it passes to the caller.
//
// On Windows these calls come from <windows.h>; AllocateHWnd wraps a message-only window whose
// procedure calls the method, and the main thread's waits (CheckSynchronize, WaitFor) deliver
// messages sent from other threads. There an exception escaping the method always goes to the
// application's exception handler (it cannot cross the system's frames), and WaitFor called
// inside the handling of a sent message releases that message's sender first.
#pragma once

#include "platform/win32.h"

#include <functional>

namespace zv {

struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

using TWndMethod = std::function<void(TMessage&)>;

// Creates a hidden window whose messages go to Method (on the main thread). Handles are never
// reused within a process.
HWND AllocateHWnd(TWndMethod Method);
// Destroys the window; messages still queued for it return 0 to their senders. A method being
// run at that moment runs to its end. Null or unknown handles are ignored.
void DeallocateHWnd(HWND Wnd);

} // namespace zv

#ifndef _WIN32
// Delivers the message and returns the window method's result (TMessage::Result, or the value
// given to ReplyMessage). 0 for an unknown window.
LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
// TRUE while the main thread is in a window method handling a message sent from another thread.
BOOL InSendMessage();
// Inside the handling of a message sent from another thread: releases the sender at once with
// lResult as its result and returns TRUE. Otherwise (no such message, or already replied) FALSE.
BOOL ReplyMessage(LRESULT lResult);
// The default window procedure: every message is ignored, result 0.
LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
#endif
