// The Vemo entries of the stand-in VemoLuaRuntime.dll: environments, global script objects and
// protected calls, on top of the stock Lua 5.1.5 linked into the same DLL.
//
// Environments. There is at most one, the default one: a lua_State with the standard libraries,
// made on first use and kept until the process ends (scripts and the add-in's references into it
// must outlive any single holder, so references are counted for observation only and reaching zero
// closes nothing).
//
// Allocation. By default Lua's own (realloc and free). The test suite asks for a debug allocator
// instead (VemoHost_UseDebugAllocator): every freed block is filled with 0xDD and held back for a
// while before it really goes, so that code reading a state, table or string after Lua freed it
// meets pointers made of 0xDD bytes and faults there and then, instead of reading stale data that
// happens to still look right.
//
// Global objects. VemoLRT_RegisterGlobalObj makes the record's object reachable as the dotted
// path of its name ("Orvane.Object" is field Object of global table Orvane; missing intermediate
// tables are made). The factory is NOT called at registration: the record is parked in a pending
// table that hangs off the parent table's metatable, whose __index materialises it on the first
// read of that field. Materialising calls factory(userData) once, wraps the result as the first
// (and only) pointer-sized word of a full userdata carrying the class metatable, and stores the
// userdata raw in the parent table, so later reads never reach __index again. Registering the same
// path again drops the stored userdata and parks the new record, so the next read calls the
// factory once more. The class metatable is luaL_newmetatable(className); its __index is a table
// of the method rows by exact name, rebuilt on every registration of that class.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}

#include "host/runtime/vemo_host.h"
#include "runtime/vemo_abi.h"

namespace {

struct Environment {
    lua_State* state;
    int references;
};

std::mutex g_lock;
Environment* g_default = nullptr;
bool g_noDefault = false;
bool g_debugAllocator = false;

// Freed blocks, poisoned, oldest first; a block is really freed once the quarantine holds more than
// kBytes or kBlocks without it. Only the thread that runs the state allocates, so it needs no lock.
class Quarantine {
public:
    static void* Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize) {
        return static_cast<Quarantine*>(self)->Reallocate(block, oldSize, newSize);
    }

private:
    static constexpr std::size_t kBytes = 64u << 20;
    static constexpr std::size_t kBlocks = 1u << 16;
    static constexpr unsigned char kFresh = 0xCD;
    static constexpr unsigned char kFreed = 0xDD;

    struct Held {
        void* block;
        std::size_t size;
    };

    void* Reallocate(void* block, std::size_t oldSize, std::size_t newSize) {
        if (newSize == 0) {
            Hold(block, oldSize);
            return nullptr;
        }
        // Never in place: a block that moves leaves its old copy poisoned like any freed one.
        void* fresh = std::malloc(newSize);
        if (fresh == nullptr) {
            // Lua takes a shrinking block to never fail; the old one serves, a little too large.
            return block != nullptr && newSize <= oldSize ? block : nullptr;
        }
        const std::size_t kept = block != nullptr ? std::min(oldSize, newSize) : 0;
        if (kept > 0) {
            std::memcpy(fresh, block, kept);
        }
        std::memset(static_cast<unsigned char*>(fresh) + kept, kFresh, newSize - kept);
        Hold(block, oldSize);
        return fresh;
    }

    // Nothing may be thrown into Lua's C frames: a block the quarantine cannot note goes at once.
    void Hold(void* block, std::size_t size) noexcept {
        if (block == nullptr) {
            return;
        }
        std::memset(block, kFreed, size);
        try {
            held_.push_back({block, size});
        } catch (...) {
            std::free(block);
            return;
        }
        bytes_ += size;
        while (bytes_ > kBytes || held_.size() > kBlocks) {
            std::free(held_.front().block);
            bytes_ -= held_.front().size;
            held_.pop_front();
        }
    }

    std::deque<Held> held_;
    std::size_t bytes_ = 0;
};
std::atomic<int> g_gets{0};
std::atomic<int> g_releases{0};

// Key in the parent table's metatable under which its parked records live.
const char* const kPendingField = "__vemo_pending";

int panicked(lua_State* L) {
    const char* message = lua_tolstring(L, -1, nullptr);
    std::fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n", message != nullptr ? message : "?");
    std::fflush(stderr);
    return 0;
}

Environment* defaultEnvironment() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_default == nullptr && !g_noDefault) {
        // The default state lives until the process ends, and so does its quarantine.
        auto* quarantine = g_debugAllocator ? new (std::nothrow) Quarantine : nullptr;
        lua_State* state = quarantine != nullptr ? lua_newstate(&Quarantine::Allocate, quarantine) : luaL_newstate();
        if (state == nullptr) {
            return nullptr;
        }
        if (quarantine != nullptr) {
            lua_atpanic(state, &panicked);  // as luaL_newstate does for its own states
        }
        luaL_openlibs(state);
        g_default = new Environment{state, 0};
    }
    return g_default;
}

Environment* knownEnvironment(VemoEnv env) {
    std::lock_guard<std::mutex> hold(g_lock);
    return env != nullptr && env == g_default ? g_default : nullptr;
}

void complain(const char* where, const std::string& what) {
    std::fprintf(stderr, "VemoLuaRuntime: %s: %s\n", where, what.c_str());
    std::fflush(stderr);
}

std::vector<std::string> splitPath(const char* name) {
    std::vector<std::string> parts;
    std::string current;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '.') {
            parts.push_back(current);
            current.clear();
        } else {
            current.push_back(*p);
        }
    }
    parts.push_back(current);
    for (const std::string& part : parts) {
        if (part.empty()) {
            return {};
        }
    }
    return parts;
}

struct ParkedFactory {
    VemoFactory factory;
    void* userData;
};

// __index of a parent table: upvalue 1 is its pending table, whose entries are
// { [1] = ParkedFactory userdata, [2] = class name }.
int materialise(lua_State* L) {
    lua_settop(L, 2);
    lua_pushvalue(L, 2);
    lua_rawget(L, lua_upvalueindex(1));
    if (lua_type(L, -1) != LUA_TTABLE) {
        lua_pushnil(L);
        return 1;
    }
    const int entry = lua_gettop(L);
    lua_rawgeti(L, entry, 1);
    const ParkedFactory parked = *static_cast<ParkedFactory*>(lua_touserdata(L, -1));
    lua_rawgeti(L, entry, 2);
    const std::string className = lua_tolstring(L, -1, nullptr);
    lua_settop(L, 2);

    // Forget the record before calling out, so a factory that somehow reads the field again
    // cannot start a second materialisation.
    lua_pushvalue(L, 2);
    lua_pushnil(L);
    lua_rawset(L, lua_upvalueindex(1));

    void* native = parked.factory(parked.userData);
    void** box = static_cast<void**>(lua_newuserdata(L, sizeof(void*)));
    *box = native;
    lua_getfield(L, LUA_REGISTRYINDEX, className.c_str());
    lua_setmetatable(L, -2);
    lua_pushvalue(L, 2);
    lua_pushvalue(L, -2);
    lua_rawset(L, 1);
    return 1;
}

// Pushes the pending table of the table at index parent, installing the lazy __index on it if
// needed. Returns false (pushing nothing) if the table already has a metatable of someone else's
// with an __index of its own.
bool pushPendingTable(lua_State* L, int parent) {
    if (lua_getmetatable(L, parent) == 0) {
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setmetatable(L, parent);
    }
    const int meta = lua_gettop(L);
    lua_getfield(L, meta, kPendingField);
    if (lua_type(L, -1) == LUA_TTABLE) {
        lua_remove(L, meta);
        return true;
    }
    lua_pop(L, 1);
    lua_getfield(L, meta, "__index");
    const bool taken = lua_type(L, -1) != LUA_TNIL;
    lua_pop(L, 1);
    if (taken) {
        lua_pop(L, 1);
        return false;
    }
    lua_newtable(L);
    lua_pushvalue(L, -1);
    lua_setfield(L, meta, kPendingField);
    lua_pushvalue(L, -1);
    lua_pushcclosure(L, materialise, 1);
    lua_setfield(L, meta, "__index");
    lua_remove(L, meta);
    return true;
}

bool isParked(lua_State* L, int parent, const std::string& key) {
    if (lua_getmetatable(L, parent) == 0) {
        return false;
    }
    lua_getfield(L, -1, kPendingField);
    bool parked = false;
    if (lua_type(L, -1) == LUA_TTABLE) {
        lua_getfield(L, -1, key.c_str());
        parked = lua_type(L, -1) != LUA_TNIL;
        lua_pop(L, 1);
    }
    lua_pop(L, 2);
    return parked;
}

void defineClass(lua_State* L, const char* className, const VemoMethod* methods) {
    luaL_newmetatable(L, className);
    lua_newtable(L);
    for (const VemoMethod* row = methods; row != nullptr && row->name != nullptr; ++row) {
        if (row->function != nullptr) {
            lua_pushcclosure(L, row->function, 0);
            lua_setfield(L, -2, row->name);
        }
    }
    lua_setfield(L, -2, "__index");
    lua_pop(L, 1);
}

// Leaves the stack as it found it.
int registerObject(lua_State* L, const VemoGlobalObject& object) {
    const int base = lua_gettop(L);
    const std::vector<std::string> path = splitPath(object.objectName);
    if (path.empty()) {
        complain("RegisterGlobalObj", std::string("bad object name \"") + object.objectName + "\"");
        return 1;
    }
    lua_pushvalue(L, LUA_GLOBALSINDEX);
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        const int parent = lua_gettop(L);
        if (isParked(L, parent, path[i])) {
            complain("RegisterGlobalObj", path[i] + " in " + object.objectName + " is an object, not a table");
            lua_settop(L, base);
            return 1;
        }
        // Raw reads: an __index here could be a script's, or our own that would materialise.
        lua_pushstring(L, path[i].c_str());
        lua_rawget(L, parent);
        if (lua_type(L, -1) == LUA_TNIL) {
            lua_pop(L, 1);
            lua_newtable(L);
            lua_pushstring(L, path[i].c_str());
            lua_pushvalue(L, -2);
            lua_rawset(L, parent);
        } else if (lua_type(L, -1) != LUA_TTABLE) {
            complain("RegisterGlobalObj", path[i] + " in " + object.objectName + " is not a table");
            lua_settop(L, base);
            return 1;
        }
        lua_remove(L, parent);
    }
    const int parent = lua_gettop(L);
    const std::string& key = path.back();

    if (!pushPendingTable(L, parent)) {
        complain("RegisterGlobalObj",
                 std::string("the table holding ") + object.objectName + " already has an __index of its own");
        lua_settop(L, base);
        return 1;
    }
    const int pending = lua_gettop(L);

    defineClass(L, object.className, object.methods);

    lua_createtable(L, 2, 0);
    auto* parked = static_cast<ParkedFactory*>(lua_newuserdata(L, sizeof(ParkedFactory)));
    parked->factory = object.factory;
    parked->userData = object.userData;
    lua_rawseti(L, -2, 1);
    lua_pushstring(L, object.className);
    lua_rawseti(L, -2, 2);
    lua_setfield(L, pending, key.c_str());

    // A second registration replaces the object: drop the one already made so the next read
    // materialises the new record.
    lua_pushstring(L, key.c_str());
    lua_pushnil(L);
    lua_rawset(L, parent);

    lua_settop(L, base);
    return 0;
}

}  // namespace

extern "C" {

VemoEnv ORVANE_STDCALL VemoLRT_GetEnv(const char* name) {
    if (name != nullptr) {
        return nullptr;  // the stand-in has no named environments
    }
    Environment* env = defaultEnvironment();
    if (env == nullptr) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(g_lock);
        ++env->references;
    }
    ++g_gets;
    return env;
}

int ORVANE_STDCALL VemoLRT_ReleaseEnv(VemoEnv handle) {
    if (handle == nullptr) {
        return 0;
    }
    Environment* env = knownEnvironment(handle);
    if (env == nullptr) {
        complain("ReleaseEnv", "not an environment handle");
        return 0;
    }
    bool overReleased = false;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        overReleased = --env->references < 0;
    }
    ++g_releases;
    if (overReleased) {
        complain("ReleaseEnv", "released more often than it was got");
    }
    return 0;
}

int ORVANE_STDCALL VemoLRT_RegisterGlobalObj(VemoEnv handle, VemoGlobalObject object) {
    Environment* env = knownEnvironment(handle);
    if (env == nullptr) {
        complain("RegisterGlobalObj", "not an environment handle");
        return 1;
    }
    if (object.objectName == nullptr || object.className == nullptr || object.className[0] == '\0' ||
        object.factory == nullptr) {
        complain("RegisterGlobalObj", "the record needs an object name, a class name and a factory");
        return 1;
    }
    return registerObject(env->state, object);
}

int ORVANE_STDCALL VemoLRT_LuaCall(lua_State* L, int nargs, int nresults, int /*reserved*/) {
    if (L == nullptr) {
        complain("LuaCall", "no state");
        return 1;
    }
    int status = 0;
    if (nargs < 0 || lua_gettop(L) < nargs + 1) {
        complain("LuaCall", "fewer values on the stack than the function and its arguments");
        lua_settop(L, 0);
        status = LUA_ERRRUN;
    } else {
        // The traceback is taken where the error is raised, before the stack unwinds.
        const int handler = lua_gettop(L) - nargs;
        lua_pushcfunction(L, VemoHost_Traceback);
        lua_insert(L, handler);
        status = lua_pcall(L, nargs, nresults, handler);
        lua_remove(L, handler);
        if (status == 0) {
            return 0;
        }
        const char* message = lua_tolstring(L, -1, nullptr);
        if (message == nullptr) {
            message = lua_typename(L, lua_type(L, -1));
            complain("LuaCall", std::string("error object is a ") + message + " value");
        } else {
            complain("LuaCall", message);
        }
        lua_pop(L, 1);
    }
    // The caller reads nresults values whatever happened.
    if (nresults > 0 && lua_checkstack(L, nresults) != 0) {
        for (int i = 0; i < nresults; ++i) {
            lua_pushnil(L);
        }
    }
    return status;
}

int VemoHost_SetNoDefaultEnv(int none) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_default != nullptr) {
        return -1;
    }
    g_noDefault = none != 0;
    return 0;
}

int VemoHost_Traceback(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) {
        return 1;
    }
    lua_getfield(L, LUA_GLOBALSINDEX, "debug");
    if (lua_type(L, -1) != LUA_TTABLE) {
        lua_pop(L, 1);
        return 1;
    }
    lua_getfield(L, -1, "traceback");
    if (lua_type(L, -1) != LUA_TFUNCTION) {
        lua_pop(L, 2);
        return 1;
    }
    lua_pushvalue(L, 1);
    lua_pushinteger(L, 2);
    lua_call(L, 2, 1);
    return 1;
}

int VemoHost_UseDebugAllocator(int on) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_default != nullptr) {
        return -1;
    }
    g_debugAllocator = on != 0;
    return 0;
}

lua_State* VemoHost_DefaultState(void) {
    Environment* env = defaultEnvironment();
    return env != nullptr ? env->state : nullptr;
}

void VemoHost_EnvStats(int* gets, int* releases) {
    if (gets != nullptr) {
        *gets = g_gets.load();
    }
    if (releases != nullptr) {
        *releases = g_releases.load();
    }
}

}  // extern "C"
