#include "host/host_table.hpp"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include "lauxlib.h"
#include "lua.h"
}

#include "bridge/window_messages.hpp"
#include "check_lua.h"
#include "common/text.hpp"
#include "common/win_handles.hpp"
#include "host/addin_loader.hpp"
#include "host/debug_output.hpp"
#include "host/runtime/vemo_host.h"

namespace orvane::host {
namespace {

std::atomic<bool> g_stopRequested{false};

DWORD millisecondsArg(lua_State* L, int index, DWORD absent) {
    if (lua_type(L, index) == LUA_TNONE || lua_type(L, index) == LUA_TNIL) {
        return absent;
    }
    const lua_Number ms = luaL_checknumber(L, index);
    if (ms <= 0) {
        return 0;
    }
    if (ms >= 4294967294.0) {
        return INFINITE - 1;
    }
    return static_cast<DWORD>(ms);
}

int hostPump(lua_State* L) {
    const DWORD budget = millisecondsArg(L, 1, INFINITE);
    const ULONGLONG start = GetTickCount64();
    bool stopped = false;
    for (;;) {
        MSG msg;
        while (!g_stopRequested.load() && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                g_stopRequested = true;
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (g_stopRequested.load()) {
            stopped = true;
            break;
        }
        DWORD wait = INFINITE;
        if (budget != INFINITE) {
            const ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= budget) {
                break;
            }
            wait = static_cast<DWORD>(budget - elapsed);
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    g_stopRequested = false;
    lua_pushboolean(L, stopped ? 1 : 0);
    return 1;
}

int hostStop(lua_State*) {
    g_stopRequested = true;
    return 0;
}

int hostExit(lua_State* L) {
    const auto code = static_cast<UINT>(luaL_optinteger(L, 1, 0));
    std::fflush(stdout);
    std::fflush(stderr);
    ExitProcess(code);
    return 0;
}

int hostSleep(lua_State* L) {
    Sleep(millisecondsArg(L, 1, 0));
    return 0;
}

int hostClock(lua_State* L) {
    static const double ticksPerMs = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    lua_pushnumber(L, static_cast<double>(now.QuadPart) / ticksPerMs);
    return 1;
}

int hostEnvStats(lua_State* L) {
    int gets = 0;
    int releases = 0;
    VemoHost_EnvStats(&gets, &releases);
    lua_pushinteger(L, gets);
    lua_pushinteger(L, releases);
    return 2;
}

int hostAddinPath(lua_State* L) {
    lua_pushstring(L, g_addin.path.c_str());
    return 1;
}

int hostStartupResult(lua_State* L) {
    if (!g_addin.startupCalled) {
        lua_pushnil(L);
    } else {
        lua_pushnumber(L, static_cast<double>(static_cast<unsigned long>(g_addin.startupResult)));
    }
    return 1;
}

int hostReleaseAddin(lua_State* L) {
    const std::optional<ULONG> count = releaseAddin();
    if (!count) {
        lua_pushnil(L);
        return 1;
    }
    lua_pushinteger(L, static_cast<lua_Integer>(*count));
    return 1;
}

// Destroys the add-in's message windows of this thread, as a host that frees the add-in does, and
// answers how many there were. No WM_CLOSE: the add-in sees only their destruction.
int destroyAddinWindows() {
    int destroyed = 0;
    HWND window = nullptr;
    while ((window = FindWindowExW(HWND_MESSAGE, window, orvane::kMessageWindowName, nullptr)) != nullptr) {
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId() && DestroyWindow(window)) {
            ++destroyed;
            window = nullptr;  // the search starts over: the window it went on from is gone
        }
    }
    return destroyed;
}

int hostDestroyAddinWindows(lua_State* L) {
    lua_pushinteger(L, destroyAddinWindows());
    return 1;
}

// Sends WM_CLOSE to the add-in's message windows of this thread, as a host that stops every callback
// does; how many there were.
int hostCloseAddinWindows(lua_State* L) {
    int closed = 0;
    HWND window = nullptr;
    while ((window = FindWindowExW(HWND_MESSAGE, window, orvane::kMessageWindowName, nullptr)) != nullptr) {
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
            SendMessageW(window, WM_CLOSE, 0, 0);
            ++closed;
        }
    }
    lua_pushinteger(L, closed);
    return 1;
}

int hostFreeAddin(lua_State* L) {
    // A module that COM loaded is COM's to free.
    if (g_addin.module == nullptr || g_addin.modulePath.empty()) {
        lua_pushnil(L);
        return 1;
    }
    releaseAddin();
    // The add-in's window procedure lives in its module: no window of it may outlive the module.
    if (lua_toboolean(L, 1) == 0) {
        destroyAddinWindows();
    }
    HMODULE module = g_addin.module;
    g_addin.module = nullptr;
    lua_pushboolean(L, FreeLibrary(module) ? 1 : 0);
    return 1;
}

// Private bytes (the commit charge) count memory set aside but never touched, which the working set
// does not; Wine fills only the older of the two fields that carry it.
int hostMemory(lua_State* L) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters)) {
        return luaL_error(L, "GetProcessMemoryInfo failed (error %d)", static_cast<int>(GetLastError()));
    }
    lua_pushnumber(L, static_cast<double>(counters.WorkingSetSize));
    lua_pushnumber(L, static_cast<double>(counters.PeakWorkingSetSize));
    lua_pushnumber(L, static_cast<double>(std::max(counters.PrivateUsage, counters.PagefileUsage)));
    return 3;
}

// Wine reports the handle count as 0, so the open handles are counted by asking after each possible
// handle value up to a few thousand handles; Windows answers both ways alike.
int hostHandles(lua_State* L) {
    DWORD count = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &count) || count == 0) {
        for (std::uintptr_t value = 4; value < 0x4000; value += 4) {
            DWORD flags = 0;
            if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
                ++count;
            }
        }
    }
    lua_pushinteger(L, static_cast<lua_Integer>(count));
    return 1;
}

int hostAddinWindow(lua_State* L) {
    HWND window = nullptr;
    bool ours = false;
    while (!ours && (window = FindWindowExW(HWND_MESSAGE, window, orvane::kMessageWindowName, nullptr)) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        ours = process == GetCurrentProcessId();
    }
    lua_pushboolean(L, ours ? 1 : 0);
    return 1;
}

int hostLightUserdata(lua_State* L) {
    const auto address = static_cast<std::uintptr_t>(luaL_checknumber(L, 1));
    lua_pushlightuserdata(L, reinterpret_cast<void*>(address));
    return 1;
}

int hostAddinLoaded(lua_State* L) {
    HMODULE module = nullptr;
    const BOOL loaded = !g_addin.modulePath.empty() && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                                          g_addin.modulePath.c_str(), &module);
    lua_pushboolean(L, loaded ? 1 : 0);
    return 1;
}

LRESULT CALLBACK testWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

int hostCreateWindow(lua_State* L) {
    const bool foreground = lua_toboolean(L, 1) != 0;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = testWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"OrvaneHostTestWindow";
    RegisterClassW(&windowClass);  // fails harmlessly from the second window on
    HWND window = CreateWindowExW(0, L"OrvaneHostTestWindow", L"orvane-host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        lua_pushnil(L);
        lua_pushinteger(L, static_cast<lua_Integer>(GetLastError()));
        return 2;
    }
    ShowWindow(window, foreground ? SW_SHOW : SW_SHOWNOACTIVATE);
    if (foreground) {
        SetForegroundWindow(window);
    }
    lua_pushlightuserdata(L, window);
    return 1;
}

int hostForegroundWindow(lua_State* L) {
    HWND window = GetForegroundWindow();
    if (window == nullptr) {
        lua_pushnil(L);
    } else {
        lua_pushlightuserdata(L, window);
    }
    return 1;
}

// Waits up to 10 s for a thread of ours while this thread serves messages: the thread may send to a
// window of this one, which answers only then. Its exit code, nothing after the 10 s.
std::optional<DWORD> awaitServingMessages(HANDLE started) {
    const orvane::UniqueKernelHandle thread(started);
    const HANDLE waitOn = thread.get();
    const ULONGLONG deadline = GetTickCount64() + 10000;
    bool finished = false;
    while (!finished && GetTickCount64() < deadline) {
        finished = MsgWaitForMultipleObjects(1, &waitOn, FALSE, 10, QS_ALLINPUT) == WAIT_OBJECT_0;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DWORD code = 0;
    if (!finished || !GetExitCodeThread(thread.get(), &code)) {
        return std::nullopt;
    }
    return code;
}

DWORD WINAPI startupThread(void* object) {
    return static_cast<DWORD>(static_cast<IHostedAddin*>(object)->Startup(nullptr));
}

// Startup once more, as a host that starts its add-ins again: on this thread, or on a thread of its
// own, as a host with several apartment threads might.
int hostStartup(lua_State* L) {
    if (g_addin.object == nullptr) {
        lua_pushnil(L);
        lua_pushliteral(L, "the add-in object was released");
        return 2;
    }
    if (lua_toboolean(L, 1) == 0) {
        startAddin(1);
        lua_pushnumber(L, static_cast<double>(static_cast<unsigned long>(g_addin.startupResult)));
        return 1;
    }
    HANDLE started = CreateThread(nullptr, 0, startupThread, g_addin.object, 0, nullptr);
    if (started == nullptr) {
        return luaL_error(L, "cannot start a thread (error %d)", static_cast<int>(GetLastError()));
    }
    const std::optional<DWORD> result = awaitServingMessages(started);
    if (!result) {
        lua_pushnil(L);
        lua_pushliteral(L, "timeout");
        return 2;
    }
    g_addin.startupCalled = true;
    g_addin.startupResult = static_cast<HRESULT>(*result);
    lua_pushnumber(L, static_cast<double>(*result));
    return 1;
}

using AddinExport = int(WINAPI*)();

// Owns its copy of the address: after a timeout the caller is gone and the thread runs on alone.
DWORD WINAPI callExportThread(void* parameter) {
    const AddinExport function = *static_cast<AddinExport*>(parameter);
    delete static_cast<AddinExport*>(parameter);
    return static_cast<DWORD>(function());
}

int hostCallExport(lua_State* L) {
    const char* name = luaL_checkstring(L, 1);
    const bool onThread = lua_toboolean(L, 2) != 0;
    AddinExport function = g_addin.module != nullptr ? procAddress<AddinExport>(g_addin.module, name) : nullptr;
    if (function == nullptr) {
        lua_pushnil(L);
        lua_pushfstring(L, "the add-in exports no %s", name);
        return 2;
    }
    if (!onThread) {
        lua_pushinteger(L, function());
        return 1;
    }
    auto* parameter = new AddinExport(function);
    HANDLE started = CreateThread(nullptr, 0, callExportThread, parameter, 0, nullptr);
    if (started == nullptr) {
        delete parameter;
        return luaL_error(L, "cannot start a thread (error %d)", static_cast<int>(GetLastError()));
    }
    // The handle is closed before anything is pushed: a Lua error leaves by longjmp, which no
    // destructor survives.
    const std::optional<DWORD> answer = awaitServingMessages(started);
    if (!answer) {
        lua_pushnil(L);
        lua_pushliteral(L, "timeout");
        return 2;
    }
    lua_pushinteger(L, static_cast<int>(*answer));
    return 1;
}

// The add-in built with its fault points (tests/failure_paths.cmake) arms them through these.
using ArmFault = int (*)(const char* kind, long n);
using FaultsReached = long (*)();

int hostArmFault(lua_State* L) {
    const char* kind = luaL_checkstring(L, 1);
    const long n = static_cast<long>(luaL_checkinteger(L, 2));
    const auto arm = g_addin.module != nullptr ? procAddress<ArmFault>(g_addin.module, "OrvaneArmFault") : nullptr;
    if (arm == nullptr) return luaL_error(L, "the add-in has no fault points");
    if (arm(kind, n) == 0) return luaL_error(L, "no fault point of kind %s", kind);
    return 0;
}

int hostFaultsReached(lua_State* L) {
    const auto reached =
        g_addin.module != nullptr ? procAddress<FaultsReached>(g_addin.module, "OrvaneFaultsReached") : nullptr;
    if (reached == nullptr) return luaL_error(L, "the add-in has no fault points");
    lua_pushinteger(L, static_cast<lua_Integer>(reached()));
    return 1;
}

int hostDebugOutput(lua_State* L) {
    const std::vector<std::string> lines = TakeDebugOutput();
    lua_createtable(L, static_cast<int>(lines.size()), 0);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lua_pushlstring(L, lines[i].data(), lines[i].size());
        lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    return 1;
}

int hostCheckWarnings(lua_State* L) {
    lua_getfield(L, LUA_REGISTRYINDEX, "orvane-host.check-warnings");
    return 1;
}

}  // namespace

void installHostTable(lua_State* L) {
    static const luaL_Reg functions[] = {
        {"pump", hostPump},
        {"stop", hostStop},
        {"exit", hostExit},
        {"sleep", hostSleep},
        {"clock", hostClock},
        {"env_stats", hostEnvStats},
        {"addin_path", hostAddinPath},
        {"startup_result", hostStartupResult},
        {"startup", hostStartup},
        {"release_addin", hostReleaseAddin},
        {"free_addin", hostFreeAddin},
        {"destroy_addin_windows", hostDestroyAddinWindows},
        {"close_addin_windows", hostCloseAddinWindows},
        {"addin_loaded", hostAddinLoaded},
        {"create_window", hostCreateWindow},
        {"foreground_window", hostForegroundWindow},
        {"memory", hostMemory},
        {"handles", hostHandles},
        {"addin_window", hostAddinWindow},
        {"check_warnings", hostCheckWarnings},
        {"debug_output", hostDebugOutput},
        {"lightuserdata", hostLightUserdata},
        {"call_export", hostCallExport},
        {"arm_fault", hostArmFault},
        {"faults_reached", hostFaultsReached},
        {nullptr, nullptr},
    };
    luaL_register(L, "host", functions);
    lua_pop(L, 1);
}

// Where the checking mode finds the annotations when it is not told: beside the host, as the kit
// lays them out, or at the top of the source tree that holds the build folder.
std::wstring findAnnotations() {
    const std::wstring folder = exeFolder();
    for (const wchar_t* candidate : {L"annotations\\orvane.lua", L"..\\..\\annotations\\orvane.lua"}) {
        const std::wstring path = folder + candidate;
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return path;
        }
    }
    return {};
}

// Wraps every method of the add-in's class in a check against the annotations (host/check.lua);
// the add-in's own functions still answer every call. Nothing happens when Orvane is not published.
void installChecks(lua_State* L, const std::wstring& annotations) {
    lua_getfield(L, LUA_REGISTRYINDEX, "Orvane.Class");
    if (lua_type(L, -1) != LUA_TTABLE) {
        lua_pop(L, 1);
        return;
    }
    lua_getfield(L, -1, "__index");
    const int methods = lua_gettop(L);
    if (luaL_loadbuffer(L, kCheckLua, sizeof kCheckLua - 1, "=host/check.lua") != 0) {
        std::fprintf(stderr, "orvane-host: %s\n", lua_tolstring(L, -1, nullptr));
        lua_settop(L, methods - 2);
        return;
    }
    // check.lua opens the file through the C runtime's narrow fopen, which takes the ANSI code page.
    lua_pushstring(L, Utf16ToAnsi(annotations).c_str());
    lua_pushvalue(L, methods);
    if (lua_pcall(L, 2, 1, 0) != 0) {
        std::fprintf(stderr, "orvane-host: checking mode: %s\n", lua_tolstring(L, -1, nullptr));
        lua_settop(L, methods - 2);
        return;
    }
    lua_setfield(L, LUA_REGISTRYINDEX, "orvane-host.check-warnings");
    lua_settop(L, methods - 2);
}

}  // namespace orvane::host
