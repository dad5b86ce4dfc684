// A script function to be called later, on the script thread. Workers carry it by value and never
// read it; only the script thread takes, calls and releases it.
//
// The state is the one the function was handed over on, which may be a coroutine. The registry
// reference keeps the function alive but not that coroutine, which may finish and be collected long
// before the call comes; so the coroutine is referenced too, for as long as the function is.
#pragma once

#include <cstdint>

struct lua_State;

namespace orvane {

struct CallbackRef {
    lua_State* state = nullptr;
    std::int32_t ref = 0;
    // The state itself, kept alive from the registry; negative when the runtime cannot name a
    // thread (it lacks lua_pushthread), and then the state is used as it was given.
    std::int32_t stateRef = -2;
};

// Takes the function at the top of L's stack (popping it) and anchors L beside it.
CallbackRef TakeCallback(lua_State* L) noexcept;

// Calls the function with one text and no results wanted, then releases it. The reference is read
// into the call before it starts, so the record it came from may be gone by the time it ends.
void CallAndReleaseCallback(CallbackRef callback, const char* text) noexcept;

// Drops the references without calling the function.
void ReleaseCallback(const CallbackRef& callback) noexcept;

inline bool SameCallback(const CallbackRef& a, const CallbackRef& b) noexcept {
    return a.state == b.state && a.ref == b.ref;
}

}  // namespace orvane
