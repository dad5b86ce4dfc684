// A real Lua state from the stand-in runtime, for in-process tests of the add-in's script side.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "tests/support/time_scale.hpp"
}

namespace orvane::testing {

class LuaFixture {
public:
    LuaFixture() : L_(luaL_newstate()) { luaL_openlibs(L_); }
    // A state whose memory comes from allocate (lua_Alloc), e.g. one that fails on demand.
    LuaFixture(lua_Alloc allocate, void* allocator) : L_(lua_newstate(allocate, allocator)) { luaL_openlibs(L_); }
    ~LuaFixture() { lua_close(L_); }
    LuaFixture(const LuaFixture&) = delete;
    LuaFixture& operator=(const LuaFixture&) = delete;

    lua_State* state() const { return L_; }

    // Runs a chunk; returns the error text, or the empty text when it ran.
    std::string Run(const std::string& chunk) {
        if (luaL_dostring(L_, chunk.c_str()) != 0) {
            std::string error = lua_tostring(L_, -1);
            lua_pop(L_, 1);
            return error;
        }
        return {};
    }

    // Evaluates an expression to a string (tostring of the value).
    std::string Eval(const std::string& expression) {
        Run("__eval = tostring(" + expression + ")");
        lua_getglobal(L_, "__eval");
        std::string value = lua_tostring(L_, -1);
        lua_pop(L_, 1);
        return value;
    }

    // Takes a registry reference to the global function of that name.
    int RefGlobal(const char* name) {
        lua_getglobal(L_, name);
        return luaL_ref(L_, LUA_REGISTRYINDEX);
    }

    bool RefIsFunction(int ref) {
        lua_rawgeti(L_, LUA_REGISTRYINDEX, ref);
        const bool isFunction = lua_type(L_, -1) == LUA_TFUNCTION;
        lua_pop(L_, 1);
        return isFunction;
    }

private:
    lua_State* L_;
};

// Lends memory like realloc, and while failing is set refuses every block that would grow to `from`
// bytes or more, which makes Lua raise its memory error at the first allocation that needs one.
struct FailingAllocator {
    bool failing = false;
    std::size_t from = 0;
    static void* Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize) {
        if (newSize == 0) {
            std::free(block);
            return nullptr;
        }
        const auto* allocator = static_cast<FailingAllocator*>(self);
        // Lua takes a shrinking block never to fail.
        if (allocator->failing && newSize > oldSize && newSize >= allocator->from) return nullptr;
        return std::realloc(block, newSize);
    }
};

// Lends memory like realloc but never takes a block back: a freed or moved block is filled with 0xDD
// and kept, so that a state used after lua_close meets pointers made of 0xDD bytes and faults there
// and then, rather than reading what a later allocation put at the same address.
struct PoisoningAllocator {
    static void* Allocate(void* /*self*/, void* block, std::size_t oldSize, std::size_t newSize) {
        if (newSize == 0) {
            if (block != nullptr) std::memset(block, 0xDD, oldSize);
            return nullptr;
        }
        void* fresh = std::malloc(newSize);
        // Lua takes a shrinking block never to fail: the old one serves then.
        if (fresh == nullptr) return newSize <= oldSize ? block : nullptr;
        if (block != nullptr) {
            std::memcpy(fresh, block, std::min(oldSize, newSize));
            std::memset(block, 0xDD, oldSize);
        }
        return fresh;
    }
};

// Serves this thread's messages until done() holds or the time (stretched) runs out.
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000) {
    const ULONGLONG deadline = ::GetTickCount64() + orvane::test::TimeScaled(timeoutMs);
    while (!done()) {
        if (::GetTickCount64() >= deadline) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return true;
}

}  // namespace orvane::testing
