// A script function to be called later, on the script thread. Other threads carry it by value and
// never read it; only the script thread takes, calls and releases it.
//
// The function often comes from a coroutine that may be suspended, dead or collected by the time of
// the call, and Lua 5.1 lets a function called on such a coroutine yield and leave it broken. So every
// function is called on a thread of the add-in's own, one per Lua universe, kept in its registry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct lua_State;

namespace orvane {

struct CallbackRef {
    // The add-in's thread; where the runtime cannot make one, the state the function came on.
    lua_State* state = nullptr;
    std::int32_t ref = 0;
    // Which Lua universe the reference belongs to, never the same for two, even at one address one
    // after the other; 0 where the runtime cannot make the add-in's thread.
    std::uint32_t universe = 0;
};

// Takes the function at the top of L's stack (popping it) and names the thread to call it on.
CallbackRef TakeCallback(lua_State* L) noexcept;

// Calls the function with one text and no results wanted, then releases it, each protected
// (runtime/protected_call.hpp). A text that cannot be handed over (no memory for it, or a finalizer
// raised on the way) is replaced by the empty text, as after any failure: false then. The text is
// pushed from where it lies, and read only before the function runs: its record may be gone by the
// time it ends.
bool CallAndReleaseCallback(CallbackRef callback, const char* text) noexcept;

// Drops the references without calling the function; protected too.
void ReleaseCallback(const CallbackRef& callback) noexcept;

// Any thread, for a function that will never be called: the reference waits, with no more memory
// than its own, until the script thread next comes in on the same universe (ReleaseLetGo). If the
// host closes the universe first, the reference goes with its registry and is never released.
// Without universe numbers nothing tells that its universe lives and is not a new one at a closed
// one's address, so the reference stays in its registry for good.
void LetGoOfCallback(const CallbackRef& callback) noexcept;

// References let go of in universes still open and not yet released. While there are any, every
// script call looks for its own universe's among them.
std::size_t LetGoWaiting() noexcept;

namespace detail {
// LetGoWaiting's count: kept under the lists' lock, read without it by every script call.
extern std::atomic<std::size_t> g_waiting;
void ReleaseLetGoNow(lua_State* L) noexcept;
}  // namespace detail

// Script thread, on entry from a script running on L: releases what was let go of in L's universe.
// Inline even in the size-optimised module, since every script call asks and nearly always finds
// nothing: a call of its own was the binding's largest cost.
[[gnu::always_inline]] inline void ReleaseLetGo(lua_State* L) noexcept {
    if (detail::g_waiting.load(std::memory_order_relaxed) != 0) detail::ReleaseLetGoNow(L);
}

inline bool SameCallback(const CallbackRef& a, const CallbackRef& b) noexcept {
    return a.state == b.state && a.ref == b.ref;
}

}  // namespace orvane
