// The host's script runtime as the add-in sees it: the shared ABI plus the ordinary C entries of the
// Lua 5.1 API that VemoLuaRuntime.dll promises to export. Declared here rather than taken from Lua's
// headers so the add-in depends on exactly what the host promises and nothing more; anything else is
// looked up at run time (runtime/optional_entries.hpp) and may be missing.
#pragma once

#include <cstddef>

#include "runtime/vemo_abi.h"

extern "C" {

using lua_Integer = std::ptrdiff_t;

VEMO_IMPORT int lua_gettop(lua_State* L);
VEMO_IMPORT void* lua_touserdata(lua_State* L, int idx);
VEMO_IMPORT const char* lua_tolstring(lua_State* L, int idx, std::size_t* len);
VEMO_IMPORT lua_Integer lua_tointeger(lua_State* L, int idx);
VEMO_IMPORT int lua_type(lua_State* L, int idx);
VEMO_IMPORT int luaL_ref(lua_State* L, int t);
VEMO_IMPORT void luaL_unref(lua_State* L, int t, int ref);
VEMO_IMPORT void lua_rawgeti(lua_State* L, int idx, int n);
VEMO_IMPORT void lua_pushboolean(lua_State* L, int b);
VEMO_IMPORT void lua_pushinteger(lua_State* L, lua_Integer n);
VEMO_IMPORT void lua_pushnil(lua_State* L);
VEMO_IMPORT void lua_pushstring(lua_State* L, const char* s);

}  // extern "C"

namespace lua {
constexpr int kRegistryIndex = -10000;
constexpr int kTypeNil = 0;
constexpr int kTypeString = 4;
constexpr int kTypeFunction = 6;
constexpr int kMaskCall = 1;  // LUA_MASKCALL
}  // namespace lua
