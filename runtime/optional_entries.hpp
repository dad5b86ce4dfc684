// Entries of the host's runtime that the add-in can use but the host does not promise. They are not
// imported, since a runtime without them would then refuse to load the add-in at all: each is looked
// up once in the module that serves the promised entries, and may be missing.
#pragma once

#include <cstddef>

#include "runtime/vemo_runtime.h"

struct lua_Debug;
using lua_Hook = void (*)(lua_State* L, lua_Debug* ar);

namespace orvane {

struct OptionalEntries {
    void (*settop)(lua_State* L, int idx) = nullptr;
    void (*pushvalue)(lua_State* L, int idx) = nullptr;
    lua_State* (*newthread)(lua_State* L) = nullptr;
    lua_State* (*tothread)(lua_State* L, int idx) = nullptr;
    void (*pushlightuserdata)(lua_State* L, void* p) = nullptr;
    void (*rawget)(lua_State* L, int idx) = nullptr;
    void (*rawset)(lua_State* L, int idx) = nullptr;
    int (*cpcall)(lua_State* L, lua_CFunction func, void* ud) = nullptr;
    void (*pushcclosure)(lua_State* L, lua_CFunction fn, int n) = nullptr;
    int (*error)(lua_State* L) = nullptr;
    void* (*newuserdata)(lua_State* L, std::size_t size) = nullptr;
    void (*createtable)(lua_State* L, int narr, int nrec) = nullptr;
    int (*setmetatable)(lua_State* L, int objindex) = nullptr;
    // A text of known length: without it a text's length is found again by the runtime's own scan.
    void (*pushlstring)(lua_State* L, const char* s, std::size_t len) = nullptr;
    // Whether a script runs on a state, rather than a finalizer or a hook (bridge/state_note.hpp).
    int (*pushthread)(lua_State* L) = nullptr;
    int (*sethook)(lua_State* L, lua_Hook func, int mask, int count) = nullptr;
    lua_Hook (*gethook)(lua_State* L) = nullptr;
    int (*gethookmask)(lua_State* L) = nullptr;
    int (*gethookcount)(lua_State* L) = nullptr;

    // Everything a thread of the add-in's own, kept in each Lua state's registry, takes.
    bool CanKeepThread() const noexcept {
        return newthread != nullptr && tothread != nullptr && pushlightuserdata != nullptr && pushvalue != nullptr &&
               rawget != nullptr && rawset != nullptr;
    }
    // Everything a note of each Lua state takes (bridge/state_note.hpp): that thread, the sentinel
    // beside it whose finalizer tells that the state closed, and the test of whether a script runs.
    bool CanKeepNotes() const noexcept {
        return CanKeepThread() && newuserdata != nullptr && createtable != nullptr && setmetatable != nullptr &&
               pushcclosure != nullptr && cpcall != nullptr && pushthread != nullptr && sethook != nullptr &&
               gethook != nullptr && gethookmask != nullptr && gethookcount != nullptr;
    }
    // Everything a protected run of the add-in's work takes (runtime/protected_call.hpp).
    bool CanProtect() const noexcept {
        return cpcall != nullptr && pushcclosure != nullptr && pushlightuserdata != nullptr && error != nullptr &&
               settop != nullptr;
    }
};

// Looked up on first use; the runtime is loaded before the add-in and stays for the process's life.
const OptionalEntries& RuntimeOptionalEntries() noexcept;

// Removes the n values at the top of L's stack, with or without lua_settop.
void PopValues(lua_State* L, int n) noexcept;

// luaL_ref of the value at the top into the registry. It may raise Lua's memory error, as a build for
// tests makes it do on demand (common/fault_points.hpp).
int ReferenceTop(lua_State* L);

}  // namespace orvane
