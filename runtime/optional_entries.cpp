#include "runtime/optional_entries.hpp"

#include <windows.h>

#include "common/fault_points.hpp"

namespace orvane {
namespace {

template <class Function>
Function Lookup(HMODULE module, const char* name) {
    // Through the one function type the compiler accepts as a stand-in for any other.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

OptionalEntries LookUpOptionalEntries() noexcept {
    OptionalEntries entries;
    HMODULE runtime = nullptr;
    // The promised entries are imported, so this address lies in whichever module the loader bound
    // them to, whatever its file is called.
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&VemoLRT_GetEnv), &runtime)) {
        return entries;
    }
    entries.settop = Lookup<decltype(entries.settop)>(runtime, "lua_settop");
    entries.pushvalue = Lookup<decltype(entries.pushvalue)>(runtime, "lua_pushvalue");
    entries.newthread = Lookup<decltype(entries.newthread)>(runtime, "lua_newthread");
    entries.tothread = Lookup<decltype(entries.tothread)>(runtime, "lua_tothread");
    entries.pushlightuserdata = Lookup<decltype(entries.pushlightuserdata)>(runtime, "lua_pushlightuserdata");
    entries.rawget = Lookup<decltype(entries.rawget)>(runtime, "lua_rawget");
    entries.rawset = Lookup<decltype(entries.rawset)>(runtime, "lua_rawset");
    entries.cpcall = Lookup<decltype(entries.cpcall)>(runtime, "lua_cpcall");
    entries.pushcclosure = Lookup<decltype(entries.pushcclosure)>(runtime, "lua_pushcclosure");
    entries.error = Lookup<decltype(entries.error)>(runtime, "lua_error");
    entries.newuserdata = Lookup<decltype(entries.newuserdata)>(runtime, "lua_newuserdata");
    entries.createtable = Lookup<decltype(entries.createtable)>(runtime, "lua_createtable");
    entries.setmetatable = Lookup<decltype(entries.setmetatable)>(runtime, "lua_setmetatable");
    entries.pushlstring = Lookup<decltype(entries.pushlstring)>(runtime, "lua_pushlstring");
    entries.pushthread = Lookup<decltype(entries.pushthread)>(runtime, "lua_pushthread");
    entries.sethook = Lookup<decltype(entries.sethook)>(runtime, "lua_sethook");
    entries.gethook = Lookup<decltype(entries.gethook)>(runtime, "lua_gethook");
    entries.gethookmask = Lookup<decltype(entries.gethookmask)>(runtime, "lua_gethookmask");
    entries.gethookcount = Lookup<decltype(entries.gethookcount)>(runtime, "lua_gethookcount");
    return entries;
}

}  // namespace

const OptionalEntries& RuntimeOptionalEntries() noexcept {
    static const OptionalEntries entries = LookUpOptionalEntries();
    return entries;
}

int ReferenceTop(lua_State* L) {
    if (FaultHere(FaultKind::RegistryRef)) {
        lua_pushstring(L, "not enough memory");
        if (const auto error = RuntimeOptionalEntries().error) error(L);
    }
    return luaL_ref(L, lua::kRegistryIndex);
}

void PopValues(lua_State* L, int n) noexcept {
    if (n <= 0) return;
    if (const auto settop = RuntimeOptionalEntries().settop) {
        settop(L, -n - 1);
        return;
    }
    // Of the promised entries only luaL_ref pops: a reference taken and dropped at once is a pop.
    for (int i = 0; i < n; ++i) luaL_unref(L, lua::kRegistryIndex, luaL_ref(L, lua::kRegistryIndex));
}

}  // namespace orvane
