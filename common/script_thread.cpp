#include "common/script_thread.hpp"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace orvane {
namespace {
std::atomic<DWORD> g_scriptThread{0};
}  // namespace

void NoteScriptThread() noexcept { g_scriptThread.store(::GetCurrentThreadId()); }

#if defined(ORVANE_THREAD_CHECKS)
void CheckScriptThread(const char* where) noexcept {
    const DWORD self = ::GetCurrentThreadId();
    DWORD expected = 0;
    if (g_scriptThread.compare_exchange_strong(expected, self) || expected == self) return;
    std::fprintf(stderr, "orvane: %s called on thread %lu, not on the script thread %lu\n", where,
                 static_cast<unsigned long>(self), static_cast<unsigned long>(expected));
    std::fflush(stderr);
    std::abort();
}
#endif

}  // namespace orvane
