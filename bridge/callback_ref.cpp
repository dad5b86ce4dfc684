#include "bridge/callback_ref.hpp"

#include "common/script_thread.hpp"
#include "runtime/optional_entries.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {

namespace {

// Its address is the registry key of the add-in's thread: no script can name it.
const char kCallbackThreadKey = 0;

// The add-in's thread in L's universe, made on first need; L itself where the runtime cannot make one.
lua_State* CallbackThread(lua_State* L) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    if (!lua.CanKeepThread()) return L;
    void* const key = const_cast<char*>(&kCallbackThreadKey);
    lua.pushlightuserdata(L, key);
    lua.rawget(L, lua::kRegistryIndex);
    lua_State* thread = lua.tothread(L, -1);
    PopValues(L, 1);
    if (thread != nullptr) return thread;
    lua.pushlightuserdata(L, key);
    thread = lua.newthread(L);
    lua.rawset(L, lua::kRegistryIndex);  // the registry holds it from here on, for good
    return thread;
}

}  // namespace

CallbackRef TakeCallback(lua_State* L) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // The thread first: making it may raise, and then nothing has been taken yet.
    lua_State* thread = CallbackThread(L);
    return CallbackRef{thread, luaL_ref(L, lua::kRegistryIndex)};
}

void CallAndReleaseCallback(CallbackRef callback, const char* text) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    lua_State* L = callback.state;
    const int base = lua_gettop(L);
    lua_rawgeti(L, lua::kRegistryIndex, callback.ref);
    lua_pushstring(L, text);
    VemoLRT_LuaCall(L, 1, 0, 0);
    // Whatever a runtime leaves after a failed call goes: an idle thread of ours must stay empty, or
    // Lua would take it for a suspended coroutine that a script could resume.
    PopValues(L, lua_gettop(L) - base);
    ReleaseCallback(callback);
}

void ReleaseCallback(const CallbackRef& callback) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (callback.state != nullptr) luaL_unref(callback.state, lua::kRegistryIndex, callback.ref);
}

}  // namespace orvane
