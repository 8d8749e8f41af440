// Locking rules the compiler checks: Clang's thread-safety analysis (-Wthread-safety) reads these
// attributes; other compilers see nothing. A member marked GUARDED_BY(m) may only be touched with
// m held, a function marked REQUIRES(m) may only be called with m held, and EXCLUDES(m) says the
// function takes m itself.
//
// std::mutex carries no attributes, so the code that wants its rules checked uses Mutex and
// MutexLock from here: the same mutex and the same scoped lock, with the attributes on.
#pragma once

#include <mutex>

#if defined(__clang__)
#define ZV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ZV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) ZV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) ZV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) ZV_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ZV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zv::win32 {

class CAPABILITY("mutex") Mutex {
public:
    void Lock() ACQUIRE() { mutex_.lock(); }
    void Unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class MutexLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope; Unlock() and Lock() let go of it and take it back in between.
// Native() serves std::condition_variable waits, which give the mutex up only while they block.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() RELEASE() { lock_.unlock(); }
    void Lock() ACQUIRE() { lock_.lock(); }
    std::unique_lock<std::mutex>& Native() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

} // namespace zv::win32
