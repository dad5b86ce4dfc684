#include "bridge/callback_ref.hpp"

#include "common/script_thread.hpp"
#include "runtime/optional_entries.hpp"
#include "runtime/protected_call.hpp"
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

// luaL_unref writes the head of the registry's free list, key 0. While that key holds no value the
// write may have to make room for it, which allocates, and an allocation may raise. Given a number
// here, where raising is the script call's own business, the key keeps a number, since luaL_ref and
// luaL_unref then only ever move numbers into it; so releasing a reference does not allocate. 0 is
// the empty list as luaL_ref reads it, and luaL_unref of reference 0 writes just that.
void KeepFreeListHead(lua_State* L) noexcept {
    lua_rawgeti(L, lua::kRegistryIndex, 0);
    const bool missing = lua_type(L, -1) == lua::kTypeNil;
    PopValues(L, 1);
    if (missing) luaL_unref(L, lua::kRegistryIndex, 0);
}

struct Handover {
    CallbackRef callback;
    const char* text;
    bool called = false;
    bool released = false;
};

void Hand(lua_State* L, void* context) {
    auto* handover = static_cast<Handover*>(context);
    lua_rawgeti(L, lua::kRegistryIndex, handover->callback.ref);
    lua_pushstring(L, handover->text);
    // From here on the callback may have run, and it never runs twice.
    handover->called = true;
    VemoLRT_LuaCall(L, 1, 0, 0);
    luaL_unref(L, lua::kRegistryIndex, handover->callback.ref);
    handover->released = true;
}

void Release(lua_State* L, void* context) {
    luaL_unref(L, lua::kRegistryIndex, static_cast<CallbackRef*>(context)->ref);
}

}  // namespace

CallbackRef TakeCallback(lua_State* L) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // The thread first: making it may raise, and then nothing has been taken yet.
    lua_State* thread = CallbackThread(L);
    KeepFreeListHead(L);
    return CallbackRef{thread, luaL_ref(L, lua::kRegistryIndex)};
}

void CallAndReleaseCallback(CallbackRef callback, const char* text) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    Handover handover{callback, text};
    RunProtected(callback.state, &Hand, &handover);
    // Raised before the call (no memory for the answer, or a finalizer): the empty text instead, as
    // after any failure.
    if (!handover.called) {
        handover.text = "";
        RunProtected(callback.state, &Hand, &handover);
    }
    if (!handover.released) ReleaseCallback(callback);
}

void ReleaseCallback(const CallbackRef& callback) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (callback.state == nullptr) return;
    CallbackRef released = callback;
    RunProtected(callback.state, &Release, &released);
}

}  // namespace orvane
