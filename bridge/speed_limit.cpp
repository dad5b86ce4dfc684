#include "bridge/speed_limit.hpp"

#include <cstdint>
#include <utility>

#include "bridge/deliveries.hpp"
#include "bridge/window_messages.hpp"
#include "common/failure.hpp"
#include "common/fault_points.hpp"
#include "common/never_destroyed.hpp"
#include "common/thread_checks.hpp"
#include "runtime/protected_call.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {
namespace {

// Only the script thread touches the slot: script calls and the window procedure both run there. Never
// destroyed: at process exit the host's Lua state may be gone, and the handler is not unreffed then.
constinit NeverDestroyed<CallbackRef> g_slot;
constinit CallbackRef& g_handler = g_slot.Get();

// A handler whose Lua state the host closed is forgotten, never called: its state is gone.
bool HandlerStored() {
    if (!g_handler.StateLives()) {
        const CallbackRef forgotten(std::move(g_handler));
    }
    return static_cast<bool>(g_handler);
}

struct HandlerAnswer {
    std::int32_t first = 0;
    std::int32_t second = 0;
};

// Reads a result only if it lies above the stack the handler was called on: a runtime that left
// fewer results than asked for (after an error, say) must not make us read the host's own values.
lua_Integer ResultAt(lua_State* L, int index, int base) { return index > base ? lua_tointeger(L, index) : 0; }

// The operation a failure is written under: which message of the tray's it answered.
const char* OperationOf(SpeedLimitCode code) {
    switch (code) {
        case SpeedLimitCode::Restore: return "restore request";
        case SpeedLimitCode::Limit: return "speed-limit request";
        case SpeedLimitCode::Reply: return "reply notice";
        case SpeedLimitCode::Manual: return "manual notice";
    }
    return "speed-limit message";
}

struct HandlerCall {
    TakenCallback handler;
    SpeedLimitCode code = SpeedLimitCode::Restore;
    HandlerAnswer answer;
    bool returned = false;  // the handler returned rather than raised
};

// Calls the handler asking for two results and reads them; the protected run removes them again.
// Nothing reads them later, and leaving them would grow the stack by two with every tray message.
void CallHandler(lua_State* L, void* context) {
    auto* call = static_cast<HandlerCall*>(context);
    const int base = lua_gettop(L);
    lua_rawgeti(L, lua::kRegistryIndex, call->handler.ref);
    lua_pushinteger(L, static_cast<lua_Integer>(call->code));
    // The runtime answers a status as lua_pcall does; one that lets the error through never returns.
    call->returned = VemoLRT_LuaCall(L, 1, 2, 0) == 0;
    const int top = lua_gettop(L);
    // Each travels as a 32-bit value, whatever the width of the script's integers.
    call->answer.first = static_cast<std::int32_t>(ResultAt(L, top - 1, base));
    call->answer.second = static_cast<std::int32_t>(ResultAt(L, top, base));
}

// Any process can post the tray's messages, as fast as it likes: what they cause is written at most
// once a second for each operation and cause, so that they cannot make the script thread write
// without end.
void ReportForMessage(const char* operation, Failure cause, std::uint32_t code = 0) {
    ReportFailureAtMostEachSecond(operation, cause, code);
}

HandlerAnswer CallSpeedLimitHandler(SpeedLimitCode code) {
    // The handler may replace or clear the slot while it runs; this call stays on the state it began in.
    HandlerCall call{g_handler.Taken(), code, {}, false};
    RunProtected(call.handler.state, &CallHandler, &call);
    if (!call.returned) ReportForMessage(OperationOf(code), Failure::HandlerFailed);
    return call.answer;
}

using Reporter = void (*)(const char* operation, Failure cause, std::uint32_t code);

// Posts to the tray window found earlier; a failure is written under the operation, by `report`.
void PostToTray(Reporter report, const char* operation, HWND tray, UINT message, WPARAM wParam, LPARAM lParam) {
    if (tray == nullptr) {
        report(operation, Failure::NoTrayWindow, 0);
    } else if (FaultHere(FaultKind::PostMessage) || !::PostMessageW(tray, message, wParam, lParam)) {
        report(operation, Failure::PostFailed, ::GetLastError());
    }
}

}  // namespace

bool StoreSpeedLimitHandler(CallbackRef handler) {
    ORVANE_SCRIPT_THREAD_ONLY();
    // After WM_CLOSE no message can call it, and kept it would outlive a Lua state the host may close.
    if (!DeliveriesOpen()) {
        ReportFailure("SetSpeedLimitHandler", Failure::WindowClosed);
        return false;
    }
    // The replaced handler can never be called again, so its reference goes now rather than never. It
    // leaves the slot first: unreffing may run a finalizer that sets or clears the handler itself.
    const CallbackRef replaced = std::exchange(g_handler, std::move(handler));
    return true;
}

bool ClearSpeedLimitHandler() {
    ORVANE_SCRIPT_THREAD_ONLY();
    const CallbackRef cleared = std::exchange(g_handler, CallbackRef{});
    return true;
}

HWND FindTrayWindow() { return ::FindWindowW(kTrayWindowClass, kTrayWindowTitle); }

bool PostManualModeChange() {
    HWND tray = FindTrayWindow();
    // The answer says only whether there was a tray window; a post it did not take is written, not answered.
    PostToTray(&ReportFailure, "LimitModeManualChanged", tray, WM_SPEED_LIMIT_MANUAL, 0, 0);
    return tray != nullptr;
}

void AnswerSpeedLimitRequest(SpeedLimitCode code) {
    ORVANE_SCRIPT_THREAD_ONLY();
    const char* operation = OperationOf(code);
    // Looked up first: the answer goes to the tray window that was there when the request came.
    HWND tray = FindTrayWindow();
    // Without a handler the tray still gets its answer, (0, 0).
    HandlerAnswer answer;
    if (HandlerStored()) {
        answer = CallSpeedLimitHandler(code);
    } else {
        ReportForMessage(operation, Failure::NoHandler);
    }
    // wParam carries the first result unsigned (-1 arrives as 0xFFFFFFFF), lParam the second signed.
    PostToTray(&ReportForMessage, operation, tray, WM_SPEED_LIMIT_REPLY,
               static_cast<WPARAM>(static_cast<std::uint32_t>(answer.first)), static_cast<LPARAM>(answer.second));
}

void NotifySpeedLimitHandler(SpeedLimitCode code) {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (HandlerStored()) CallSpeedLimitHandler(code);
}

}  // namespace orvane
