// The host's script thread: the one that called Startup, which runs the scripts, owns the message
// window and alone may touch the Lua state. Code that may only run there says so with
// ORVANE_SCRIPT_THREAD_ONLY(); builds other than Release check it, and a call from another thread
// ends the process at once with where it happened, rather than corrupting the Lua state by chance.
#pragma once

namespace orvane {

// Startup: the calling thread is the script thread from now on.
void NoteScriptThread() noexcept;

// Where nothing has called Startup (the in-process tests), the first thread checked is taken. Only in
// builds that check: the shipped module carries neither the check nor the printing it needs.
void CheckScriptThread(const char* where) noexcept;

}  // namespace orvane

#if defined(ORVANE_THREAD_CHECKS)
#define ORVANE_SCRIPT_THREAD_ONLY() ::orvane::CheckScriptThread(__func__)
#else
#define ORVANE_SCRIPT_THREAD_ONLY() static_cast<void>(0)
#endif
