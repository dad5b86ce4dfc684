// The lock of the add-in's own shared records. On Windows it is the system's slim lock: std::mutex
// goes through a POSIX-threads layer on this toolchain, which would be a tenth of the shipped module
// for one lock. It is a BasicLockable, held with std::lock_guard. The native build of the
// platform-free core takes std::mutex.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include <mutex>
#endif

namespace orvane {

#if defined(_WIN32)
class SmallLock {
public:
    constexpr SmallLock() noexcept = default;
    ~SmallLock() = default;
    SmallLock(const SmallLock&) = delete;
    SmallLock& operator=(const SmallLock&) = delete;

    void lock() noexcept { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
#else
using SmallLock = std::mutex;
#endif

}  // namespace orvane
