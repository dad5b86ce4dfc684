// A script function to be called later, on the script thread: the state it came from and its
// registry reference. Workers carry it by value and never read it; only the script thread uses it.
#pragma once

#include <cstdint>

struct lua_State;

namespace orvane {

struct CallbackRef {
    lua_State* state = nullptr;
    std::int32_t ref = 0;
};

}  // namespace orvane

namespace orvane {
// Drops the registry reference without calling the function; script thread only.
void ReleaseCallback(const CallbackRef& callback);
}  // namespace orvane
