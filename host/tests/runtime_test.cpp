// Checks VemoLuaRuntime.dll on its own, the way an add-in reaches it: the Vemo entries by their
// exported names, a record with a counting factory and a small method table, and protected calls
// that fail. Prints each failed check and exits nonzero if there was any.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <string>

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}

#include "host/runtime/vemo_host.h"
#include "runtime/vemo_abi.h"

namespace {

int g_failures = 0;

void check(bool ok, const char* what, int line) {
    if (!ok) {
        ++g_failures;
        std::printf("FAILED line %d: %s\n", line, what);
    }
}

#define CHECK(condition) check((condition), #condition, __LINE__)

// The entries as an add-in resolves them: by plain name, whatever the platform's decoration.
struct Entries {
    decltype(&VemoLRT_GetEnv) getEnv = nullptr;
    decltype(&VemoLRT_ReleaseEnv) releaseEnv = nullptr;
    decltype(&VemoLRT_RegisterGlobalObj) registerGlobalObj = nullptr;
    decltype(&VemoLRT_LuaCall) luaCall = nullptr;
};

template <typename Function>
Function procAddress(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Runs a chunk of Lua; on an error prints it and counts a failure.
bool runLua(lua_State* L, const char* code, int line) {
    const int top = lua_gettop(L);
    if (luaL_loadstring(L, code) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
        const char* message = lua_tolstring(L, -1, nullptr);
        check(false, message != nullptr ? message : "(non-string error)", line);
        lua_settop(L, top);
        return false;
    }
    return true;
}

#define LUA(code) runLua(L, code, __LINE__)

// --- a fake script class -----------------------------------------------------------------------

struct Native {
    int id;
};

Native g_nativeA{1};
Native g_nativeB{2};
int g_factoryCalls = 0;
void* g_factoryArgument = nullptr;

void* ORVANE_STDCALL factoryA(void* userData) {
    ++g_factoryCalls;
    g_factoryArgument = userData;
    return &g_nativeA;
}

void* ORVANE_STDCALL factoryB(void* userData) {
    ++g_factoryCalls;
    g_factoryArgument = userData;
    return &g_nativeB;
}

// Returns the id of the native object in the first word of self, the argument count (self
// included) and whether self carries the class metatable.
int probe(lua_State* L) {
    const int count = lua_gettop(L);
    auto* box = static_cast<Native**>(lua_touserdata(L, 1));
    lua_pushinteger(L, box != nullptr && *box != nullptr ? (*box)->id : -1);
    lua_pushinteger(L, count);
    bool isClass = false;
    if (lua_getmetatable(L, 1) != 0) {
        lua_getfield(L, LUA_REGISTRYINDEX, "Test.Class");
        isClass = lua_rawequal(L, -1, -2) != 0;
        lua_pop(L, 2);
    }
    lua_pushboolean(L, isClass ? 1 : 0);
    return 3;
}

int second(lua_State* L) {
    lua_pushstring(L, "second");
    return 1;
}

int hidden(lua_State* L) {
    lua_pushstring(L, "hidden");
    return 1;
}

const VemoMethod kMethods[] = {
    {"Probe", probe, 0},
    {"Second", second, 0},
    {nullptr, nullptr, 0},
    {"Hidden", hidden, 0},  // past the end row: must not be reached
};

const VemoMethod kOtherMethods[] = {
    {"Second", second, 0},
    {nullptr, nullptr, 0},
};

int g_userDataA = 0;

VemoGlobalObject record(const char* name, VemoFactory factory = factoryA, const VemoMethod* methods = kMethods) {
    return VemoGlobalObject{factory, &g_userDataA, name, "Test.Class", methods, 0};
}

// --- stderr capture, to see what the runtime reports ---------------------------------------------

std::string captureStderr(const std::function<void()>& action) {
    wchar_t folder[MAX_PATH];
    wchar_t file[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"vrt", 0, file);
    std::fflush(stderr);
    const int saved = _dup(2);
    const int target = _wopen(file, _O_WRONLY | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(target, 2);
    action();
    std::fflush(stderr);
    _dup2(saved, 2);
    _close(saved);
    _close(target);
    std::string text;
    if (FILE* in = _wfopen(file, L"rb")) {
        char buffer[512];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
            text.append(buffer, n);
        }
        std::fclose(in);
    }
    DeleteFileW(file);
    return text;
}

int countLines(const std::string& text) {
    int lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

// --- the groups of checks ----------------------------------------------------------------------

void checkExports(HMODULE runtime, Entries& entries) {
    entries.getEnv = procAddress<decltype(entries.getEnv)>(runtime, "VemoLRT_GetEnv");
    entries.releaseEnv = procAddress<decltype(entries.releaseEnv)>(runtime, "VemoLRT_ReleaseEnv");
    entries.registerGlobalObj = procAddress<decltype(entries.registerGlobalObj)>(runtime, "VemoLRT_RegisterGlobalObj");
    entries.luaCall = procAddress<decltype(entries.luaCall)>(runtime, "VemoLRT_LuaCall");
    CHECK(entries.getEnv != nullptr);
    CHECK(entries.releaseEnv != nullptr);
    CHECK(entries.registerGlobalObj != nullptr);
    CHECK(entries.luaCall != nullptr);
    // The add-in may use any of Lua's C API, so all of it is exported under the plain C names.
    for (const char* name : {"lua_pcall", "lua_newuserdata", "luaL_ref", "luaL_newmetatable", "luaL_openlibs",
                             "luaopen_base", "luaopen_string"}) {
        check(GetProcAddress(runtime, name) != nullptr, name, __LINE__);
    }
}

void checkEnvironments(const Entries& vemo) {
    int gets0 = 0;
    int releases0 = 0;
    VemoHost_EnvStats(&gets0, &releases0);

    // A host without a default environment: nothing is handed out or counted.
    CHECK(VemoHost_SetNoDefaultEnv(1) == 0);
    CHECK(vemo.getEnv(nullptr) == nullptr);
    CHECK(VemoHost_DefaultState() == nullptr);
    CHECK(VemoHost_SetNoDefaultEnv(0) == 0);

    VemoEnv first = vemo.getEnv(nullptr);
    VemoEnv again = vemo.getEnv(nullptr);
    CHECK(first != nullptr);
    CHECK(first == again);
    CHECK(vemo.getEnv("no such environment") == nullptr);
    CHECK(VemoHost_SetNoDefaultEnv(1) != 0);  // too late once it exists
    CHECK(vemo.getEnv(nullptr) != nullptr);   // ...and it is still there
    int gets = 0;
    int releases = 0;
    VemoHost_EnvStats(&gets, &releases);
    CHECK(gets - gets0 == 3);
    CHECK(releases == releases0);

    vemo.releaseEnv(nullptr);
    int bogus = 0;
    captureStderr([&] { vemo.releaseEnv(&bogus); });
    VemoHost_EnvStats(nullptr, &releases);
    CHECK(releases == releases0);

    vemo.releaseEnv(first);
    vemo.releaseEnv(again);
    vemo.releaseEnv(first);
    VemoHost_EnvStats(&gets, &releases);
    CHECK(releases - releases0 == 3);
    CHECK(gets - gets0 == 3);
}

void checkLazyObject(const Entries& vemo, lua_State* L, VemoEnv env) {
    g_factoryCalls = 0;
    CHECK(vemo.registerGlobalObj(env, record("Orvane.Object")) == 0);
    CHECK(g_factoryCalls == 0);

    // Reaching the parent table or listing it does not make the object.
    LUA("assert(type(Orvane) == 'table'); for k in pairs(Orvane) do error('listed ' .. tostring(k)) end");
    CHECK(g_factoryCalls == 0);

    LUA("first = Orvane.Object; assert(type(first) == 'userdata', type(first))");
    CHECK(g_factoryCalls == 1);
    CHECK(g_factoryArgument == &g_userDataA);
    LUA("assert(Orvane.Object == first); assert(rawget(Orvane, 'Object') == first)");
    CHECK(g_factoryCalls == 1);

    // Method calls reach the C function with self at 1 holding the factory's result.
    LUA("local id, count, isClass = Orvane.Object:Probe('a', 2)\n"
        "assert(id == 1, 'first word ' .. tostring(id))\n"
        "assert(count == 3, 'argument count ' .. tostring(count))\n"
        "assert(isClass == true, 'class metatable')");
    LUA("assert(getmetatable(Orvane.Object) == debug.getregistry()['Test.Class'])");
    LUA("assert(Orvane.Object:Second() == 'second')");
    LUA("assert(Orvane.Object.probe == nil and Orvane.Object.PROBE == nil, 'names are exact')");
    LUA("assert(Orvane.Object.Hidden == nil, 'rows past the end row')");
    LUA("assert(Orvane.Missing == nil)");
    CHECK(g_factoryCalls == 1);

    // The same record again replaces the object: the factory runs again, once, on the next read.
    CHECK(vemo.registerGlobalObj(env, record("Orvane.Object")) == 0);
    CHECK(g_factoryCalls == 1);
    LUA("assert(Orvane.Object ~= first); assert(Orvane.Object == Orvane.Object)");
    CHECK(g_factoryCalls == 2);
    LUA("assert(first:Probe() == 1, 'a replaced object keeps working')");

    // Registered twice before anyone looked: one factory call.
    CHECK(vemo.registerGlobalObj(env, record("Orvane.Object", factoryB, kOtherMethods)) == 0);
    CHECK(vemo.registerGlobalObj(env, record("Orvane.Object", factoryB, kOtherMethods)) == 0);
    CHECK(g_factoryCalls == 2);
    LUA("assert(Orvane.Object:Second() == 'second')");
    LUA("assert(Orvane.Object.Probe == nil, 'the class takes the latest method table')");
    CHECK(g_factoryCalls == 3);

    // A sibling in the same table leaves the first object alone.
    CHECK(vemo.registerGlobalObj(env, record("Orvane.Other")) == 0);
    LUA("local o = Orvane.Object; assert(type(Orvane.Other) == 'userdata'); assert(Orvane.Object == o)");
    CHECK(g_factoryCalls == 4);
}

void checkPaths(const Entries& vemo, lua_State* L, VemoEnv env) {
    CHECK(vemo.registerGlobalObj(env, record("Deep.Er.Object")) == 0);
    LUA("assert(type(Deep) == 'table' and type(Deep.Er) == 'table')");
    LUA("assert(type(Deep.Er.Object) == 'userdata'); assert(Deep.Er.Object:Probe() == 1)");
    CHECK(vemo.registerGlobalObj(env, record("Solo")) == 0);
    LUA("assert(type(Solo) == 'userdata'); assert(Solo:Probe() == 1); assert(print ~= nil)");
    LUA("Existing = { keep = true }");
    CHECK(vemo.registerGlobalObj(env, record("Existing.Object")) == 0);
    LUA("assert(Existing.keep == true and type(Existing.Object) == 'userdata')");

    const int top = lua_gettop(L);
    const int calls = g_factoryCalls;
    std::string errors = captureStderr([&] {
        LUA("Number = 5");
        CHECK(vemo.registerGlobalObj(env, record("Number.Object")) != 0);
        CHECK(vemo.registerGlobalObj(env, record("Lazy")) == 0);
        CHECK(vemo.registerGlobalObj(env, record("Lazy.Object")) != 0);  // Lazy is an object, not a table
        LUA("Owned = setmetatable({}, { __index = function() return 'script' end })");
        CHECK(vemo.registerGlobalObj(env, record("Owned.Object")) != 0);
        for (const char* bad : {"", ".Object", "Orvane.", "Orvane..Object"}) {
            check(vemo.registerGlobalObj(env, record(bad)) != 0, bad, __LINE__);
        }
        VemoGlobalObject noClass = record("Orvane.NoClass");
        noClass.className = nullptr;
        CHECK(vemo.registerGlobalObj(env, noClass) != 0);
        VemoGlobalObject noFactory = record("Orvane.NoFactory");
        noFactory.factory = nullptr;
        CHECK(vemo.registerGlobalObj(env, noFactory) != 0);
        int notAnEnv = 0;
        CHECK(vemo.registerGlobalObj(&notAnEnv, record("Orvane.Elsewhere")) != 0);
        CHECK(vemo.registerGlobalObj(nullptr, record("Orvane.Elsewhere")) != 0);
    });
    CHECK(g_factoryCalls == calls);
    CHECK(lua_gettop(L) == top);
    CHECK(countLines(errors) == 11);
    LUA("assert(Number == 5 and Owned.anything == 'script' and Orvane.Elsewhere == nil)");
    // The failed "Lazy.Object" did not make Lazy either.
    CHECK(g_factoryCalls == calls);
}

int addTwo(lua_State* L) {
    lua_pushnumber(L, luaL_checknumber(L, 1) + luaL_checknumber(L, 2));
    lua_pushstring(L, "done");
    return 2;
}

void checkLuaCall(const Entries& vemo, lua_State* L) {
    lua_settop(L, 0);
    lua_pushstring(L, "below");

    // Success: the results the caller asked for, adjusted like lua_call.
    lua_pushcclosure(L, addTwo, 0);
    lua_pushnumber(L, 2);
    lua_pushnumber(L, 3);
    CHECK(vemo.luaCall(L, 2, 3, 0) == 0);
    CHECK(lua_gettop(L) == 4);
    CHECK(lua_tonumber(L, 2) == 5);
    CHECK(lua_type(L, 4) == LUA_TNIL);
    lua_settop(L, 1);

    // A failing function leaves exactly nresults nils, and its message with a traceback on stderr.
    for (int nresults : {0, 1, 3}) {
        LUA("function failing(a, b) error('first line\\nsecond line') end");
        lua_getfield(L, LUA_GLOBALSINDEX, "failing");
        lua_pushnumber(L, 1);
        lua_pushstring(L, "two");
        int status = 0;
        const std::string errors = captureStderr([&] { status = vemo.luaCall(L, 2, nresults, 0); });
        CHECK(status != 0);
        CHECK(lua_gettop(L) == 1 + nresults);
        for (int i = 2; i <= 1 + nresults; ++i) {
            CHECK(lua_type(L, i) == LUA_TNIL);
        }
        CHECK(errors.find("first line\nsecond line") != std::string::npos);
        CHECK(errors.find("stack traceback:") != std::string::npos);
        CHECK(errors.find("in function 'error'") != std::string::npos);
        lua_settop(L, 1);
    }

    // Errors that are not strings, and calling something that is not a function.
    LUA("function throwsTable() error({ code = 7 }) end");
    lua_getfield(L, LUA_GLOBALSINDEX, "throwsTable");
    std::string errors = captureStderr([&] { CHECK(vemo.luaCall(L, 0, 2, 0) != 0); });
    CHECK(lua_gettop(L) == 3 && lua_isnil(L, 2) && lua_isnil(L, 3));
    CHECK(countLines(errors) == 1 && errors.find("table") != std::string::npos);
    lua_settop(L, 1);
    lua_pushnil(L);
    lua_pushnumber(L, 1);
    errors = captureStderr([&] { CHECK(vemo.luaCall(L, 1, 1, 0) != 0); });
    CHECK(lua_gettop(L) == 2 && lua_isnil(L, 2));
    CHECK(errors.find("attempt to call a nil value") != std::string::npos);
    lua_settop(L, 1);

    // Fewer values than the call claims: refused without touching Lua's stack checks.
    lua_settop(L, 0);
    lua_pushnumber(L, 1);
    errors = captureStderr([&] { CHECK(vemo.luaCall(L, 3, 2, 0) != 0); });
    CHECK(lua_gettop(L) == 2 && lua_isnil(L, 1) && lua_isnil(L, 2));
    CHECK(countLines(errors) == 1);

    CHECK(lua_type(L, 1) == LUA_TNIL);
    lua_settop(L, 0);
}

}  // namespace

int main() {
    HMODULE runtime = GetModuleHandleW(L"VemoLuaRuntime.dll");
    if (runtime == nullptr) {
        std::printf("FAILED: VemoLuaRuntime.dll is not loaded\n");
        return 1;
    }
    Entries vemo;
    checkExports(runtime, vemo);
    if (g_failures != 0) {
        return 1;
    }
    checkEnvironments(vemo);

    VemoEnv env = vemo.getEnv(nullptr);
    lua_State* L = VemoHost_DefaultState();
    CHECK(env != nullptr && L != nullptr);
    if (env == nullptr || L == nullptr) {
        return 1;
    }
    checkLazyObject(vemo, L, env);
    checkPaths(vemo, L, env);
    checkLuaCall(vemo, L);
    vemo.releaseEnv(env);

    if (g_failures != 0) {
        std::printf("%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("runtime: all checks passed\n");
    return 0;
}
