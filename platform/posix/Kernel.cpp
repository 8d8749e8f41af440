// Handle table, last error, events and waits, time, text comparison.
#include "platform/posix/Kernel.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace zv::win32 {
namespace {

thread_local DWORD t_lastError = 0;

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
    std::uintptr_t next = 1;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable; // never destroyed: handles may outlive statics
    return *table;
}

std::uintptr_t KeyOf(HANDLE h) {
    return reinterpret_cast<std::uintptr_t>(h);
}

// ---- events ---------------------------------------------------------------------------------
//
// All event state is guarded by one mutex; a waiter registers its own condition variable with
// every event it waits for, so SetEvent wakes exactly the threads that wait for that event.

std::mutex g_eventMutex;

struct Waiter {
    std::condition_variable cv;
    int wakeFd = -1; // while the waiter watches a device: written when an event is signalled
};

// The wake descriptor of the waiter this thread is watching for, while inside WatchOnce: a
// thread that signals an event itself sees the result when it returns and needs no wake-up.
thread_local int t_watchingFd = -1;

// The calling thread's descriptor for waits that watch a device (an eventfd, made at its first
// such wait and closed when the thread ends); -1 when none could be made.
int ThreadWakeFd() {
    struct Holder {
        int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ~Holder() {
            if (fd >= 0)
                ::close(fd);
        }
    };
    thread_local Holder holder;
    return holder.fd;
}

class EventObject final : public KernelObject {
public:
    EventObject(bool manual, bool initial) : manualReset(manual), signalled(initial) {}
    const bool manualReset;
    bool signalled;                      // guarded by g_eventMutex
    std::vector<Waiter*> waiters;        // guarded by g_eventMutex
    std::shared_ptr<EventSource> source; // guarded by g_eventMutex

    void SetLocked() {
        signalled = true;
        for (Waiter* w : waiters) {
            w->cv.notify_one();
            if (w->wakeFd >= 0 && w->wakeFd != t_watchingFd)
                SignalEventFd(w->wakeFd);
        }
    }
};

std::shared_ptr<EventObject> LookupEvent(HANDLE h) {
    return Lookup<EventObject>(h);
}

// Records without an event are waited for on this one condition variable.
std::mutex g_completionMutex;
std::condition_variable g_completionCv;

} // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    // Multiples of 4 like Win32 handles; the counter never wraps in practice.
    std::uintptr_t key = t.next++ * 4;
    t.objects.emplace(key, std::move(object));
    return reinterpret_cast<HANDLE>(key);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(KeyOf(h));
    return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE h) {
    HandleTable& t = Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(KeyOf(h));
    if (it == t.objects.end())
        return nullptr;
    auto object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

DWORD ErrnoToWin32(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOTTY:
        return ERROR_INVALID_FUNCTION; // the device has no such control
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case EIO:
        return ERROR_GEN_FAILURE;
    case ENXIO:
    case ENODEV:
        return ERROR_DEVICE_NOT_CONNECTED;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case EINTR:
        return ERROR_OPERATION_ABORTED;
    case EFAULT:
        return ERROR_NOACCESS;
    case ELOOP:
        return ERROR_CANTOPEN;
    default:
        return ERROR_GEN_FAILURE;
    }
}

void SignalEventFd(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(fd, &one, sizeof one);
}

void DrainEventFd(int fd) {
    std::uint64_t value = 0;
    [[maybe_unused]] auto ignored = ::read(fd, &value, sizeof value);
}

void SignalEventHandle(HANDLE h) {
    if (auto e = LookupEvent(h)) {
        std::lock_guard lock(g_eventMutex);
        e->SetLocked();
    }
}

void ResetEventHandle(HANDLE h) {
    if (auto e = LookupEvent(h)) {
        std::lock_guard lock(g_eventMutex);
        e->signalled = false;
    }
}

void SetEventSource(HANDLE h, std::shared_ptr<EventSource> source) {
    if (auto e = LookupEvent(h)) {
        std::lock_guard lock(g_eventMutex);
        e->source.swap(source);
    }
    // The source replaced is let go here, outside the lock: it may be the last holder of a device.
}

void MarkPending(OVERLAPPED* ov) {
    ov->InternalHigh = 0;
    std::atomic_ref<ULONG_PTR>(ov->Internal).store(STATUS_PENDING, std::memory_order_release);
}

namespace {
// The completions held by this thread's outermost HeldCompletions, if one lives.
thread_local std::vector<HeldCompletions::Completion>* t_held = nullptr;
} // namespace

HeldCompletions::HeldCompletions() : outermost_(t_held == nullptr) {
    if (outermost_)
        t_held = &held_;
}

HeldCompletions::~HeldCompletions() {
    if (outermost_) {
        Send();
        t_held = nullptr;
    }
}

void HeldCompletions::Send() {
    if (!outermost_)
        return;
    t_held = nullptr;
    for (const Completion& c : held_)
        CompleteOverlapped(c.ov, c.error, c.transferred);
    held_.clear();
    t_held = &held_;
}

void CompleteOverlapped(OVERLAPPED* ov, DWORD error, DWORD transferred) {
    if (t_held != nullptr) {
        t_held->push_back({ov, error, transferred});
        return;
    }
    HANDLE event = ov->hEvent; // read before publishing: the owner may free ov right after
    std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(transferred, std::memory_order_relaxed);
    std::atomic_ref<ULONG_PTR>(ov->Internal).store(error, std::memory_order_release);
    if (event != nullptr) {
        SignalEventHandle(event);
    } else {
        std::lock_guard lock(g_completionMutex);
        g_completionCv.notify_all();
    }
}

void WaitForCompletion(const OVERLAPPED* ov) {
    DWORD error = 0;
    DWORD count = 0;
    std::unique_lock lock(g_completionMutex);
    g_completionCv.wait(lock, [&] { return ReadOverlapped(ov, error, count); });
}

bool ReadOverlapped(const OVERLAPPED* ov, DWORD& error, DWORD& transferred) {
    auto* m = const_cast<OVERLAPPED*>(ov);
    ULONG_PTR status = std::atomic_ref<ULONG_PTR>(m->Internal).load(std::memory_order_acquire);
    if (status == STATUS_PENDING)
        return false;
    error = static_cast<DWORD>(status);
    transferred = static_cast<DWORD>(
        std::atomic_ref<ULONG_PTR>(m->InternalHigh).load(std::memory_order_relaxed));
    return true;
}

} // namespace zv::win32

using namespace zv::win32;

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

ULONGLONG GetTickCount64() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<ULONGLONG>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

DWORD GetTickCount() {
    return static_cast<DWORD>(GetTickCount64());
}

BOOL CloseHandle(HANDLE hObject) {
    auto object = RemoveHandle(hObject);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    object->Close();
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    if (lpName != nullptr && *lpName != '\0') {
        // Named events would be shared between processes; nothing here needs them.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(
        std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL SetEvent(HANDLE hEvent) {
    auto e = LookupEvent(hEvent);
    if (!e)
        return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(g_eventMutex);
    e->SetLocked();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto e = LookupEvent(hEvent);
    if (!e)
        return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard lock(g_eventMutex);
    e->signalled = false;
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<EventObject>> events;
    events.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        auto e = LookupEvent(lpHandles[i]);
        if (!e) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        events.push_back(std::move(e));
    }

    const bool waitAll = bWaitAll != FALSE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    Waiter waiter;
    std::unique_lock lock(g_eventMutex);

    // Returns the wait result when the condition holds now, consuming auto-reset events.
    auto satisfied = [&](DWORD& result) {
        if (waitAll) {
            for (auto& e : events)
                if (!e->signalled)
                    return false;
            for (auto& e : events)
                if (!e->manualReset)
                    e->signalled = false;
            result = WAIT_OBJECT_0;
            return true;
        }
        for (DWORD i = 0; i < nCount; ++i) {
            if (events[i]->signalled) {
                if (!events[i]->manualReset)
                    events[i]->signalled = false;
                result = WAIT_OBJECT_0 + i;
                return true;
            }
        }
        return false;
    };

    DWORD result = WAIT_TIMEOUT;
    if (satisfied(result) || dwMilliseconds == 0)
        return result;
    for (auto& e : events)
        e->waiters.push_back(&waiter);
    for (;;) {
        // An event fed by a device that this thread can watch itself (see EventSource).
        std::shared_ptr<EventSource> source;
        if (!waitAll)
            for (auto& e : events)
                if (e->source) {
                    source = e->source;
                    break;
                }
        if (source && (waiter.wakeFd = ThreadWakeFd()) >= 0) {
            lock.unlock();
            t_watchingFd = waiter.wakeFd;
            const bool watched = source->WatchOnce(
                waiter.wakeFd,
                dwMilliseconds == INFINITE
                    ? std::nullopt
                    : std::optional<std::chrono::steady_clock::time_point>(deadline));
            t_watchingFd = -1;
            source.reset(); // outside the lock: it may be the last holder of a device
            lock.lock();
            // The watch emptied the descriptor if it woke for it: signals seen so far are in the
            // events' state, checked next, and later ones write again. A count left from before
            // only costs one more turn of this loop.
            if (watched) {
                if (satisfied(result))
                    break;
                if (dwMilliseconds != INFINITE && std::chrono::steady_clock::now() >= deadline) {
                    result = WAIT_TIMEOUT;
                    break;
                }
                continue;
            }
            waiter.wakeFd = -1; // nothing to watch now: wait for the events alone
            if (satisfied(result))
                break;
        }
        if (dwMilliseconds == INFINITE) {
            waiter.cv.wait(lock);
        } else if (waiter.cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (!satisfied(result))
                result = WAIT_TIMEOUT;
            break;
        }
        if (satisfied(result))
            break;
    }
    for (auto& e : events)
        std::erase(e->waiters, &waiter);
    return result;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

int CompareStringA(LCID, DWORD dwCmpFlags, LPCSTR lpString1, int cchCount1, LPCSTR lpString2,
                   int cchCount2) {
    if (lpString1 == nullptr || lpString2 == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t n1 = cchCount1 < 0 ? std::strlen(lpString1) : static_cast<std::size_t>(cchCount1);
    std::size_t n2 = cchCount2 < 0 ? std::strlen(lpString2) : static_cast<std::size_t>(cchCount2);
    const bool fold = (dwCmpFlags & NORM_IGNORECASE) != 0;
    for (std::size_t i = 0; i < n1 && i < n2; ++i) {
        const int a = static_cast<unsigned char>(fold ? LowerAscii(lpString1[i]) : lpString1[i]);
        const int b = static_cast<unsigned char>(fold ? LowerAscii(lpString2[i]) : lpString2[i]);
        if (a != b)
            return a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (n1 == n2)
        return CSTR_EQUAL;
    return n1 < n2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

int lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, lpString1 ? lpString1 : "", -1,
                          lpString2 ? lpString2 : "", -1) -
           2;
}
