// The host's script runtime as the add-in sees it: the shared ABI plus the ordinary C entries of the
// Lua 5.1 API that VemoLuaRuntime.dll exports. Declared here rather than taken from Lua's headers so
// the add-in depends on exactly what the host promises and nothing more.
#pragma once

#include <cstddef>

#include "runtime/vemo_abi.h"

extern "C" {

typedef std::ptrdiff_t lua_Integer;

int lua_gettop(lua_State* L);
void lua_settop(lua_State* L, int idx);
void* lua_touserdata(lua_State* L, int idx);
const char* lua_tolstring(lua_State* L, int idx, std::size_t* len);
lua_Integer lua_tointeger(lua_State* L, int idx);
int lua_type(lua_State* L, int idx);
int luaL_ref(lua_State* L, int t);
void luaL_unref(lua_State* L, int t, int ref);
void lua_rawgeti(lua_State* L, int idx, int n);
void lua_pushboolean(lua_State* L, int b);
void lua_pushinteger(lua_State* L, lua_Integer n);
void lua_pushnil(lua_State* L);
void lua_pushstring(lua_State* L, const char* s);

}  // extern "C"

namespace lua {
constexpr int kRegistryIndex = -10000;
constexpr int kTypeFunction = 6;
}  // namespace lua
