#include "common/thread_checks.hpp"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace orvane {

std::atomic<DWORD> detail::g_scriptThread{0};

namespace {
std::atomic<DWORD> g_loopThread{0};

std::atomic<DWORD>& ThreadOf(ThreadRole role) noexcept {
    return role == ThreadRole::Script ? detail::g_scriptThread : g_loopThread;
}
}  // namespace

bool detail::ClaimScriptThreadForCall() noexcept { return ClaimThread(ThreadRole::Script); }

void NoteThread(ThreadRole role) noexcept { ThreadOf(role).store(::GetCurrentThreadId()); }

bool ClaimThread(ThreadRole role) noexcept {
    const DWORD self = ::GetCurrentThreadId();
    DWORD holder = 0;
    return ThreadOf(role).compare_exchange_strong(holder, self) || holder == self;
}

#if defined(ORVANE_THREAD_CHECKS)
void CheckThread(ThreadRole role, const char* where) noexcept {
    // A plain load first: the check runs in every script call, and a locked exchange costs more than
    // the call's own work there.
    const DWORD self = ::GetCurrentThreadId();
    DWORD expected = ThreadOf(role).load(std::memory_order_relaxed);
    if (expected == self) return;
    if (expected == 0 && ThreadOf(role).compare_exchange_strong(expected, self)) return;
    if (expected == self) return;
    // Nothing to do if the line cannot be written: the abort says enough.
    (void)std::fprintf(stderr, "orvane: %s called on thread %lu, not on the %s thread %lu\n", where,
                       static_cast<unsigned long>(self), role == ThreadRole::Script ? "script" : "loop",
                       static_cast<unsigned long>(expected));
    (void)std::fflush(stderr);
    std::abort();
}
#endif

}  // namespace orvane
