// Entries of the host's runtime that the add-in can use but the host does not promise. They are not
// imported, since a runtime without them would then refuse to load the add-in at all: each is looked
// up once in the module that serves the promised entries, and may be missing.
#pragma once

#include <cstddef>

#include "runtime/vemo_runtime.h"

namespace orvane {

struct OptionalEntries {
    void (*settop)(lua_State* L, int idx) = nullptr;
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

    // Everything a thread of the add-in's own, kept in the registry, takes, with the note beside it
    // whose finalizer tells the add-in that the universe closed.
    bool CanKeepThread() const noexcept {
        return newthread != nullptr && tothread != nullptr && pushlightuserdata != nullptr && rawget != nullptr &&
               rawset != nullptr && newuserdata != nullptr && createtable != nullptr && setmetatable != nullptr &&
               pushcclosure != nullptr;
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

}  // namespace orvane
