// The lock of the add-in's own shared records, and what each lock guards, said in the code so that
// clang's thread-safety analysis checks it (-Wthread-safety): a member GUARDED_BY a lock is touched
// only while it is held, a function that REQUIRES one is called only so. On Windows the lock is the
// system's slim lock: std::mutex goes through a POSIX-threads layer on this toolchain, which would be
// a tenth of the shipped module for one lock. The native build of the platform-free core wraps
// std::mutex. Held with SmallLock::Hold, which the analysis knows.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <mutex>
#endif

// NOLINTBEGIN(cppcoreguidelines-macro-usage): attributes take their arguments as written
#if defined(__clang__)
#define ORVANE_CAPABILITY(kind) __attribute__((capability(kind)))
#define ORVANE_SCOPED_CAPABILITY __attribute__((scoped_lockable))
#define ORVANE_GUARDED_BY(lock) __attribute__((guarded_by(lock)))
#define ORVANE_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define ORVANE_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#define ORVANE_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#define ORVANE_EXCLUDES(...) __attribute__((locks_excluded(__VA_ARGS__)))
#else
#define ORVANE_CAPABILITY(kind)
#define ORVANE_SCOPED_CAPABILITY
#define ORVANE_GUARDED_BY(lock)
#define ORVANE_ACQUIRE(...)
#define ORVANE_RELEASE(...)
#define ORVANE_REQUIRES(...)
#define ORVANE_EXCLUDES(...)
#endif
// NOLINTEND(cppcoreguidelines-macro-usage)

namespace orvane {

class ORVANE_CAPABILITY("mutex") SmallLock {
public:
    constexpr SmallLock() noexcept = default;
    ~SmallLock() = default;
    SmallLock(const SmallLock&) = delete;
    SmallLock& operator=(const SmallLock&) = delete;

#if defined(_WIN32)
    void lock() noexcept ORVANE_ACQUIRE() { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept ORVANE_RELEASE() { ::ReleaseSRWLockExclusive(&lock_); }
#else
    void lock() noexcept ORVANE_ACQUIRE() { lock_.lock(); }
    void unlock() noexcept ORVANE_RELEASE() { lock_.unlock(); }
#endif

    // Holds the lock for its scope.
    class ORVANE_SCOPED_CAPABILITY Hold {
    public:
        explicit Hold(SmallLock& lock) noexcept ORVANE_ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
        ~Hold() ORVANE_RELEASE() { lock_.unlock(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        SmallLock& lock_;
    };

private:
#if defined(_WIN32)
    SRWLOCK lock_ = SRWLOCK_INIT;
#else
    std::mutex lock_;
#endif
};

}  // namespace orvane
