// Internals of the POSIX Win32 layer: the handle table, kernel object base, error helpers.
#pragma once

#include "platform/win32.h"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace zv::win32 {

// Everything a HANDLE can name. CloseHandle removes the handle from the table and calls Close();
// the object itself lives on while another thread still holds it (a wait, a pending call).
class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual void Close() {}
};

// Registers an object and returns its new handle; never 0 and never INVALID_HANDLE_VALUE.
// Handle values are not reused, so a stale handle fails with ERROR_INVALID_HANDLE.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE h);
std::shared_ptr<KernelObject> RemoveHandle(HANDLE h);

template <class T> std::shared_ptr<T> Lookup(HANDLE h) {
    return std::dynamic_pointer_cast<T>(LookupHandle(h));
}

// ASCII letter case, the way the system compares names (device names, NORM_IGNORECASE): only A-Z
// change, whatever the process's locale.
constexpr char LowerAscii(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The Win32 code for an errno value (ENOENT -> ERROR_FILE_NOT_FOUND, ...).
DWORD ErrnoToWin32(int err);

// Sets the last error and returns FALSE: the common failure path of a BOOL call.
inline BOOL Fail(LONG code) {
    SetLastError(static_cast<DWORD>(code));
    return FALSE;
}
inline BOOL FailErrno(int err) {
    SetLastError(ErrnoToWin32(err));
    return FALSE;
}

// Signals an event by handle from inside the layer (overlapped completion). A handle that is
// no longer an event is ignored: the caller may have closed it after the result was posted.
void SignalEventHandle(HANDLE h);
void ResetEventHandle(HANDLE h);

// A device that can serve, from the thread that waits for an event, the operation that will
// signal the event. While such an operation is pending, a thread waiting for the event watches
// the device itself and serves it when it becomes ready, instead of sleeping until the
// device's own service thread has done that and signalled the event: one hand-off between
// threads less from the device to the waiter.
class EventSource {
public:
    virtual ~EventSource() = default;
    // Blocks until the device is ready to be served, `wakeFd` (an eventfd written whenever one
    // of the waited events is signalled) is readable, or `deadline` passes; then serves the
    // device. A readable `wakeFd` is emptied. Returns false at once when there is nothing to watch:
    // the caller then waits for the event as usual.
    virtual bool WatchOnce(int wakeFd,
                           std::optional<std::chrono::steady_clock::time_point> deadline) = 0;
};

// Attaches `source` to the event `h`, or detaches it (nullptr). A handle that is not an event is
// ignored, as in SignalEventHandle.
void SetEventSource(HANDLE h, std::shared_ptr<EventSource> source);

// Wakes a ppoll wait through its eventfd; empties the eventfd that woke it.
void SignalEventFd(int fd);
void DrainEventFd(int fd);

// Marks an overlapped record pending / completed. Internal is published with release ordering
// after InternalHigh, and the event is signalled last, so that a reader who sees the status
// also sees the count and the data.
void MarkPending(OVERLAPPED* ov);
void CompleteOverlapped(OVERLAPPED* ov, DWORD error, DWORD transferred);

// While one lives, the records this thread completes are held, status and signal together, and
// completed when it ends or on Send(). A device completes operations under its lock; a waiter
// woken there would run into the lock at once and block on it again, so the device holds the
// completions until it has let go (declared before the lock, this ends after it). Until then
// the records still read as pending, so their owners cannot reuse them early. Scopes nest: an
// inner one leaves the completions to the outermost.
class HeldCompletions {
public:
    HeldCompletions();
    ~HeldCompletions();
    HeldCompletions(const HeldCompletions&) = delete;
    HeldCompletions& operator=(const HeldCompletions&) = delete;
    // Completes what is held so far; later completions are held again.
    void Send();

    struct Completion {
        OVERLAPPED* ov;
        DWORD error;
        DWORD transferred;
    };

private:
    std::vector<Completion> held_;
    bool outermost_;
};

// Reads the status of a record: true when complete, with its error and count.
bool ReadOverlapped(const OVERLAPPED* ov, DWORD& error, DWORD& transferred);

} // namespace zv::win32

namespace zv::win32 {

// A handle that ReadFile/WriteFile accept: a plain file or a comm device.
class IoObject : public KernelObject {
public:
    virtual BOOL Read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) = 0;
    virtual BOOL Write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) = 0;
    virtual BOOL Cancel() { return TRUE; }
    virtual BOOL Flush() { return TRUE; }
};

// Waits until a record without an event completes (GetOverlappedResult on such a record).
void WaitForCompletion(const OVERLAPPED* ov);

// Opens "\\.\NAME" (the prefix already removed): a registered virtual line or a tty.
HANDLE OpenCommDevice(const char* name, DWORD access, DWORD flags);

} // namespace zv::win32
