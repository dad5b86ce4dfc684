#include "bridge/speed_limit.hpp"

#include <cstdint>

#include "runtime/vemo_runtime.h"

namespace orvane {
namespace {

// Only the script thread touches the slot: script calls and the window procedure both run there.
CallbackRef g_handler;

bool HandlerStored() { return g_handler.state != nullptr; }

struct HandlerAnswer {
    std::int32_t first = 0;
    std::int32_t second = 0;
};

// Calls the handler asking for two results and removes them again, so the host's stack does not
// grow by two with every message from the tray.
HandlerAnswer CallSpeedLimitHandler(SpeedLimitCode code) {
    lua_State* L = g_handler.state;
    const int base = lua_gettop(L);
    lua_rawgeti(L, lua::kRegistryIndex, g_handler.ref);
    lua_pushinteger(L, static_cast<lua_Integer>(code));
    VemoLRT_LuaCall(L, 1, 2, 0);
    HandlerAnswer answer;
    answer.first = static_cast<std::int32_t>(lua_tointeger(L, -2));
    answer.second = static_cast<std::int32_t>(lua_tointeger(L, -1));
    lua_settop(L, base);
    return answer;
}

// Stand-ins for the diagnostic log, which this build discards.
void LogDiagnostic(const char* /*text*/, const char* /*file*/) {}

}  // namespace

bool StoreSpeedLimitHandler(const CallbackRef& handler) {
    // The replaced handler can never be called again, so its reference goes now rather than never.
    if (HandlerStored() && (g_handler.state != handler.state || g_handler.ref != handler.ref)) {
        luaL_unref(g_handler.state, lua::kRegistryIndex, g_handler.ref);
    }
    g_handler = handler;
    return true;
}

bool ClearSpeedLimitHandler() {
    if (HandlerStored()) luaL_unref(g_handler.state, lua::kRegistryIndex, g_handler.ref);
    g_handler = CallbackRef{};
    return true;
}

HWND FindTrayWindow() { return ::FindWindowW(kTrayWindowClass, kTrayWindowTitle); }

bool PostManualModeChange() {
    HWND tray = FindTrayWindow();
    if (tray == nullptr) return false;
    ::PostMessageW(tray, WM_USER + 6, 0, 0);
    return true;
}

void AnswerSpeedLimitRequest(SpeedLimitCode code) {
    HWND tray = FindTrayWindow();
    HandlerAnswer answer;
    if (HandlerStored()) {
        answer = CallSpeedLimitHandler(code);
    } else if (code == SpeedLimitCode::Restore) {
        LogDiagnostic("restore failed because lua env is null", "d:\\orvane.log");
    }
    if (tray != nullptr) {
        // wParam carries the first result as an unsigned 32-bit value: -1 arrives as 0xFFFFFFFF.
        ::PostMessageW(tray, WM_USER + 5, static_cast<WPARAM>(static_cast<std::uint32_t>(answer.first)),
                       static_cast<LPARAM>(answer.second));
    }
}

void NotifySpeedLimitHandler(SpeedLimitCode code) {
    if (HandlerStored()) CallSpeedLimitHandler(code);
}

}  // namespace orvane
