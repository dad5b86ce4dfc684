// Which thread may run what. The script thread is the host's thread that called Startup: it runs the
// scripts, owns the message window and alone may touch the Lua state. The loop thread runs every
// network exchange and alone touches the loop's state. Code that may only run on one of them says so
// with ORVANE_SCRIPT_THREAD_ONLY() or ORVANE_LOOP_THREAD_ONLY(); every build but the shipped one
// checks it, and a call from another thread ends the process at once with where it happened, rather
// than corrupting state by chance.
#pragma once

#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#endif

namespace orvane {

enum class ThreadRole { Script, Loop };

// The calling thread takes the role from now on: the loop's start for the loop thread.
void NoteThread(ThreadRole role) noexcept;

// The calling thread takes the role unless another thread holds it already; whether it holds it now.
// Startup claims the script thread so: the first to start the add-in keeps it for the life of the
// process, since its window, the handler and every callback stay with that thread.
bool ClaimThread(ThreadRole role) noexcept;

// Where no thread has taken the role yet (the in-process tests), the first thread checked takes it.
// Only in builds that check: the shipped module carries neither the check nor the printing it needs.
void CheckThread(ThreadRole role, const char* where) noexcept;

#if defined(_WIN32)
namespace detail {
extern std::atomic<DWORD> g_scriptThread;
bool ClaimScriptThreadForCall() noexcept;
}  // namespace detail

// The calling thread's id, read where the system keeps it (the thread's own block, as
// GetCurrentThreadId reads it) without the call.
[[gnu::always_inline]] inline DWORD CurrentThreadId() noexcept {
    DWORD id = 0;
#if defined(__x86_64__)
    __asm__("movl %%gs:0x48, %0" : "=r"(id));
#elif defined(__i386__)
    __asm__("movl %%fs:0x24, %0" : "=r"(id));
#else
    id = ::GetCurrentThreadId();
#endif
    return id;
}

// Every build, at every script call: whether the calling thread is the script thread. A Lua state
// driven from another thread would race on everything the add-in keeps for scripts, so its call is
// refused. Where no thread holds the role yet (a test that calls without Startup), the caller takes it.
[[gnu::always_inline]] inline bool OnScriptThread() noexcept {
    return CurrentThreadId() == detail::g_scriptThread.load(std::memory_order_relaxed) ||
           detail::ClaimScriptThreadForCall();
}
#endif

}  // namespace orvane

// Macros, so that the line names the function that was called on the wrong thread (its __func__).
// NOLINTBEGIN(cppcoreguidelines-macro-usage)
#if defined(ORVANE_THREAD_CHECKS)
#define ORVANE_SCRIPT_THREAD_ONLY() ::orvane::CheckThread(::orvane::ThreadRole::Script, __func__)
#define ORVANE_LOOP_THREAD_ONLY() ::orvane::CheckThread(::orvane::ThreadRole::Loop, __func__)
#else
#define ORVANE_SCRIPT_THREAD_ONLY() static_cast<void>(0)
#define ORVANE_LOOP_THREAD_ONLY() static_cast<void>(0)
#endif
// NOLINTEND(cppcoreguidelines-macro-usage)
