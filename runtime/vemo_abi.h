// The layouts and entries of VemoLuaRuntime.dll that both sides of the boundary share: the add-in
// fills these records, the host (and our stand-in of it) reads them. Nothing here comes from Lua's
// own headers, so this file can sit beside them in the stand-in runtime.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define ORVANE_STDCALL __stdcall
#else
#define ORVANE_STDCALL
#endif

// The add-in imports these entries; the runtime that defines them builds with VEMO_RUNTIME_BUILD.
// Declared as imports, their addresses are the runtime's own rather than stubs in the importer,
// which is how the add-in finds the module that serves them.
#if defined(_WIN32) && !defined(VEMO_RUNTIME_BUILD)
#define VEMO_IMPORT __declspec(dllimport)
#else
#define VEMO_IMPORT
#endif

extern "C" {

struct lua_State;
using lua_CFunction = int (*)(lua_State* L);

using VemoEnv = void*;

// One row of a script class's method table; an all-zero row ends the table.
struct VemoMethod {
    const char* name;
    lua_CFunction function;
    std::intptr_t reserved;
};

// The factory removes its own argument (the record's user data) and returns the native object.
using VemoFactory = void*(ORVANE_STDCALL*)(void* userData);

// Passed by value to VemoLRT_RegisterGlobalObj.
struct VemoGlobalObject {
    VemoFactory factory;
    void* userData;
    const char* objectName;
    const char* className;
    const VemoMethod* methods;
    std::intptr_t reserved;
};

VEMO_IMPORT VemoEnv ORVANE_STDCALL VemoLRT_GetEnv(const char* name);
VEMO_IMPORT int ORVANE_STDCALL VemoLRT_ReleaseEnv(VemoEnv env);
VEMO_IMPORT int ORVANE_STDCALL VemoLRT_RegisterGlobalObj(VemoEnv env, VemoGlobalObject object);
VEMO_IMPORT int ORVANE_STDCALL VemoLRT_LuaCall(lua_State* L, int nargs, int nresults, int reserved);

}  // extern "C"

#if defined(_WIN32) && !defined(_WIN64)
// The 32-bit host reads these layouts and calls these entries directly; a drift here breaks it silently.
static_assert(sizeof(VemoMethod) == 12, "method-table rows are three 32-bit fields");
static_assert(sizeof(VemoGlobalObject) == 24, "the global-object record is six 32-bit fields");
static_assert(sizeof(void*) == 4, "the factory takes one pointer-sized argument");
#endif
