#include "bridge/callback_ref.hpp"

#include "runtime/optional_entries.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {

CallbackRef TakeCallback(lua_State* L) noexcept {
    CallbackRef callback{L, luaL_ref(L, lua::kRegistryIndex), lua::kNoRef};
    if (const auto newthread = RuntimeOptionalEntries().newthread) {
        // Pushed on L and referenced from the registry at once: until then only L's stack holds it.
        callback.state = newthread(L);
        callback.stateRef = luaL_ref(L, lua::kRegistryIndex);
    }
    return callback;
}

void CallAndReleaseCallback(CallbackRef callback, const char* text) noexcept {
    lua_State* L = callback.state;
    lua_rawgeti(L, lua::kRegistryIndex, callback.ref);
    lua_pushstring(L, text);
    VemoLRT_LuaCall(L, 1, 0, 0);
    ReleaseCallback(callback);
}

void ReleaseCallback(const CallbackRef& callback) noexcept {
    lua_State* L = callback.state;
    if (L == nullptr) return;
    luaL_unref(L, lua::kRegistryIndex, callback.ref);
    // Last: once this goes, L may be collected at the runtime's next allocation.
    luaL_unref(L, lua::kRegistryIndex, callback.stateRef);
}

}  // namespace orvane
