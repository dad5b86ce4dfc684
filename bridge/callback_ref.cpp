#include "bridge/callback_ref.hpp"

#include <atomic>
#include <cstdint>
#include <new>

#include "common/thread_checks.hpp"
#include "runtime/optional_entries.hpp"
#include "runtime/protected_call.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {

// A reference let go of, in a node of its own, pushed from any thread and taken all at once by the
// script thread.
struct LetGo {
    CallbackRef callback;
    LetGo* next;
};
std::atomic<LetGo*> detail::g_letGo{nullptr};

namespace {
using detail::g_letGo;

// Their addresses are registry keys no script can name: of the add-in's thread, and of the number
// that tells its universe from any other.
const char kCallbackThreadKey = 0;
const char kUniverseKey = 0;

void* KeyOf(const char& key) { return const_cast<char*>(&key); }

// Numbers the universes the add-in meets; script thread only.
std::uint32_t g_lastUniverse = 0;

std::uint32_t UniverseOf(lua_State* L) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    if (!lua.CanKeepThread()) return 0;
    lua.pushlightuserdata(L, KeyOf(kUniverseKey));
    lua.rawget(L, lua::kRegistryIndex);
    const auto universe = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(lua_touserdata(L, -1)));
    PopValues(L, 1);
    return universe;
}

struct Universe {
    lua_State* thread;
    std::uint32_t number;
};

// The add-in's thread in L's universe and the universe's number, made on first need; L itself and 0
// where the runtime cannot make a thread.
Universe CallbackUniverse(lua_State* L) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    if (!lua.CanKeepThread()) return Universe{L, 0};
    lua.pushlightuserdata(L, KeyOf(kCallbackThreadKey));
    lua.rawget(L, lua::kRegistryIndex);
    lua_State* thread = lua.tothread(L, -1);
    PopValues(L, 1);
    if (thread != nullptr) return Universe{thread, UniverseOf(L)};
    // Made before anything is stored: making it may take a collection step, and a finalizer that step
    // runs may take a callback itself and so make the universe's thread first; that one stays the
    // universe's. Nothing after it here takes a step. Held by a reference while the registry is read.
    lua_State* const made = lua.newthread(L);
    const int held = luaL_ref(L, lua::kRegistryIndex);
    lua.pushlightuserdata(L, KeyOf(kCallbackThreadKey));
    lua.rawget(L, lua::kRegistryIndex);
    thread = lua.tothread(L, -1);
    PopValues(L, 1);
    std::uint32_t number = 0;
    if (thread == nullptr) {
        // Numbered first: a number without a thread is replaced on the next try, never used.
        number = ++g_lastUniverse;
        lua.pushlightuserdata(L, KeyOf(kUniverseKey));
        lua.pushlightuserdata(L, reinterpret_cast<void*>(static_cast<std::uintptr_t>(number)));
        lua.rawset(L, lua::kRegistryIndex);
        lua.pushlightuserdata(L, KeyOf(kCallbackThreadKey));
        lua_rawgeti(L, lua::kRegistryIndex, held);
        lua.rawset(L, lua::kRegistryIndex);  // the registry holds it from here on, for good
        thread = made;
    } else {
        number = UniverseOf(L);
    }
    luaL_unref(L, lua::kRegistryIndex, held);
    return Universe{thread, number};
}

void PushLetGo(LetGo* node) noexcept {
    node->next = g_letGo.load();
    while (!g_letGo.compare_exchange_weak(node->next, node)) {}
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
    const Universe universe = CallbackUniverse(L);
    KeepFreeListHead(L);
    return CallbackRef{universe.thread, luaL_ref(L, lua::kRegistryIndex), universe.number};
}

bool CallAndReleaseCallback(CallbackRef callback, const char* text) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    Handover handover{callback, text};
    RunProtected(callback.state, &Hand, &handover);
    // Raised before the call (no memory for the answer, or a finalizer): the empty text instead, as
    // after any failure.
    const bool whole = handover.called;
    if (!whole) {
        handover.text = "";
        RunProtected(callback.state, &Hand, &handover);
    }
    if (!handover.released) ReleaseCallback(callback);
    return whole;
}

void ReleaseCallback(const CallbackRef& callback) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (callback.state == nullptr) return;
    CallbackRef released = callback;
    RunProtected(callback.state, &Release, &released);
}

void LetGoOfCallback(const CallbackRef& callback) noexcept {
    if (callback.universe == 0) return;
    // Without memory even for this the reference stays in its registry for good.
    if (auto* node = new (std::nothrow) LetGo{callback, nullptr}) PushLetGo(node);
}

void detail::ReleaseLetGoNow(lua_State* L) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // A reference is released only in the universe it was taken in: another's registry would lose a
    // live reference of its own, and a closed one's state is gone.
    const std::uint32_t universe = UniverseOf(L);
    if (universe == 0) return;
    LetGo* node = g_letGo.exchange(nullptr);
    while (node != nullptr) {
        LetGo* next = node->next;
        const CallbackRef& callback = node->callback;
        if (callback.universe == universe) {
            ReleaseCallback(callback);
            delete node;
        } else {
            PushLetGo(node);
        }
        node = next;
    }
}

}  // namespace orvane
