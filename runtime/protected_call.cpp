#include "runtime/protected_call.hpp"

#include "common/thread_checks.hpp"
#include "runtime/optional_entries.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {
namespace {

// Each try that fails outside the runtime's call has cost the state a finalizer or found memory
// short; a few are enough for anything short of a script that raises in every finalizer.
constexpr int kTries = 4;

struct Run {
    LuaWork work = nullptr;
    void* context = nullptr;
    bool started = false;
    // Texts of errors raised outside the runtime's call, to be handed to it; each error object stays
    // on the state's stack, below the tries, so its text lives until the last try has ended.
    const char* caught[kTries] = {};
    int caughtCount = 0;
    int handedCount = 0;

    bool Done() const noexcept { return started && handedCount == caughtCount; }
};

// A text for an error object that may not be one. No conversion: that would allocate, unprotected.
const char* ErrorText(lua_State* L) noexcept {
    static const char* const kOthers[] = {
        "error object is a nil value",      "error object is a boolean value",  "error object is a userdata value",
        "error object is a number value",   "error object is a string value",   "error object is a table value",
        "error object is a function value", "error object is a userdata value", "error object is a thread value",
    };
    const int type = lua_type(L, -1);
    if (type == lua::kTypeString) return lua_tolstring(L, -1, nullptr);
    return type >= 0 && type < static_cast<int>(sizeof kOthers / sizeof kOthers[0]) ? kOthers[type] : "error";
}

// Called by the runtime's VemoLRT_LuaCall: what is raised here is the runtime's to report.
int RunInRuntime(lua_State* L) {
    auto* run = static_cast<Run*>(lua_touserdata(L, 1));
    const OptionalEntries& lua = RuntimeOptionalEntries();
    while (run->handedCount < run->caughtCount) {
        // Raised again by lua_error itself, called like any C function, inside the runtime's call.
        lua.pushcclosure(L, lua.error, 0);
        lua_pushstring(L, run->caught[run->handedCount]);
        VemoLRT_LuaCall(L, 1, 0, 0);
        ++run->handedCount;
    }
    if (!run->started) {
        run->started = true;
        run->work(L, run->context);
    }
    return 0;
}

// Under lua_cpcall: anything raised before the runtime's call begins or after it ends comes back as
// the cpcall's error instead of reaching the panic function.
int EnterRuntime(lua_State* L) {
    void* run = lua_touserdata(L, 1);
    const OptionalEntries& lua = RuntimeOptionalEntries();
    lua.pushcclosure(L, &RunInRuntime, 0);
    lua.pushlightuserdata(L, run);
    VemoLRT_LuaCall(L, 1, 0, 0);
    return 0;
}

}  // namespace

bool RunProtected(lua_State* L, LuaWork work, void* context) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    const OptionalEntries& lua = RuntimeOptionalEntries();
    const int base = lua_gettop(L);
    if (!lua.CanProtect()) {
        work(L, context);
        PopValues(L, lua_gettop(L) - base);
        return true;
    }
    Run run{work, context};
    for (int tries = 0; tries < kTries && !run.Done(); ++tries) {
        if (lua.cpcall(L, &EnterRuntime, &run) != 0) run.caught[run.caughtCount++] = ErrorText(L);
    }
    lua.settop(L, base);
    return run.started;
}

}  // namespace orvane
