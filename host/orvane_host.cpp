// orvane-host.exe: a console stand-in for the download manager that hosts Orvane.dll. It creates
// the add-in object, starts it the way the application does, and runs one Lua script in the
// runtime's default environment so the script can drive what the add-in registered.
//
// Command line (options must come before the script; "--" ends them):
//   orvane-host.exe [--addin PATH] [--no-env] [--startup-count N] [--no-startup] [--debug-alloc]
//                   SCRIPT.lua [ARG...]
//     --addin PATH       load the add-in from PATH with LoadLibrary. Without it the host first tries
//                        CoCreateInstance, when HKCR\CLSID\{0FF6A79F-...}\InprocServer32 exists,
//                        and otherwise loads Orvane.dll from the folder of this exe.
//     --no-env           the runtime has no default environment (VemoLRT_GetEnv(NULL) returns NULL).
//                        Startup is still called; the script runs in a fresh state of the host's,
//                        where Orvane is absent.
//     --startup-count N  call IHostedAddin::Startup(NULL) N times (default 1).
//     --no-startup       never call Startup (the add-in object is still created).
//     --debug-alloc      the runtime's state poisons what Lua frees and holds it back for a while,
//                        so that a use after free faults at once (the test suite runs with it).
//     --check FILE       check every call of Orvane.Object against the annotations FILE and warn on
//                        stderr, with the script's file and line, about a call that does not fit.
//                        Without it the host checks against annotations\orvane.lua beside itself, or
//                        two folders up (the build tree), when one is there.
//     --no-check         no checking.
//   The script gets arg[0] = SCRIPT, arg[1..] = ARGs (UTF-8).
//
// Exit status: 0 when the script ends; 1 when it cannot be loaded or raises (message and traceback
// on stderr); 2 on a bad command line or when the add-in object cannot be created; host.exit(code)
// exits with code. Startup's failure is reported on stderr but the script still runs.
//
// The global table `host`:
//   host.pump([ms])       serve this thread's window messages for up to ms milliseconds (no ms:
//                         until host.stop). Returns true if it ended because of host.stop() (or a
//                         WM_QUIT), false when the time ran out. Each return clears the stop request.
//   host.stop()           make the running pump return, or the next one return at once.
//   host.exit([code])     flush stdout/stderr and end the process with code (default 0), without
//                         releasing the add-in; usable from inside callbacks.
//   host.sleep(ms)        sleep without serving messages.
//   host.clock()          monotonic milliseconds (fractional), for measuring intervals.
//   host.env_stats()      gets, releases: how many environment references the runtime handed out
//                         through VemoLRT_GetEnv and took back through VemoLRT_ReleaseEnv.
//   host.addin_path()     path of the add-in module as loaded (or as registered, via COM).
//   host.startup_result() HRESULT of the last Startup call as a number, nil if none was made.
//   host.release_addin()  release the host's reference to the add-in object now; returns the count
//                         Release reported, nil if already released.
//   host.free_addin([keep_windows])
//                         unload the add-in as a host that is done with it would: release the object,
//                         destroy the add-in's message windows on this thread, FreeLibrary the module.
//                         Returns true when FreeLibrary succeeded, nil when the add-in came through
//                         COM or was freed already. A started add-in stays mapped all the same. With
//                         keep_windows the windows are left to the add-in, as a host that knows nothing
//                         of them leaves them.
//   host.addin_loaded()   whether the add-in module is still mapped in the process.
//   host.create_window(foreground)  a visible top-level window of the host's, activated when
//                         foreground is true; returns its handle as light user data.
//   host.memory()         working set and peak working set of this process, in bytes.
//   host.handles()        how many handles this process holds.
//   host.addin_window()   whether a window of the add-in's class exists in this process.
//   host.check_warnings() the checking mode's warnings so far (a list of lines), nil when it is off.
//   host.foreground_window()  GetForegroundWindow as light user data, nil when there is none.
//   host.lightuserdata(n) a light userdata holding the address n, for calls that take a handle.
//   host.call_export(name [, on_thread])
//                         call the add-in module's export `name` as int WINAPI name(void) and return
//                         its answer; nil and a message if there is no such export. With on_thread
//                         true it runs on a thread of its own while this thread serves messages, for
//                         up to 10 s (nil and "timeout" after that).
// stdout is unbuffered so a test reading it sees each print as it happens.
//
// On the way out the host releases the add-in object but neither frees the module nor closes the
// Lua state nor uninitialises COM: the add-in may still run workers, which process exit ends.

#include <windows.h>

#include <objbase.h>
#include <psapi.h>
#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}

#include "addin/interfaces.h"
#include "bridge/message_window.hpp"
#include "check_lua.h"
#include "common/text.hpp"
#include "common/win_handles.hpp"
#include "host/runtime/vemo_host.h"

namespace {

using orvane::Utf16ToAnsi;
using orvane::Utf16ToUtf8;

std::atomic<bool> g_stopRequested{false};
IHostedAddin* g_addin = nullptr;
HMODULE g_addinModule = nullptr;
std::wstring g_addinModulePath;  // only when the host loaded the module itself
std::string g_addinPath;
bool g_startupCalled = false;
HRESULT g_startupResult = S_OK;

std::string hresultText(HRESULT hr) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(hr));
    return buffer;
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "orvane-host: %s\n", message.c_str());
    std::fflush(stderr);
    std::exit(2);
}

template <typename Function>
Function procAddress(HMODULE module, const char* name) {
    // Through the one function type the compiler accepts as a stand-in for any other.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::wstring exeFolder() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            std::wstring path(buffer.data(), length);
            const std::size_t slash = path.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring clsidText() {
    wchar_t text[64] = {};
    StringFromGUID2(CLSID_Addin, text, 64);
    return text;
}

// The registered server's path, or empty when the class is not registered.
std::wstring registeredServer() {
    const std::wstring key = L"CLSID\\" + clsidText() + L"\\InprocServer32";
    orvane::unique_hkey handle;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t value[MAX_PATH + 1] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    std::wstring path = L"(registered)";
    const LSTATUS read = RegQueryValueExW(handle.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    if (read == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && value[0] != L'\0') {
        path = value;
    }
    return path;
}

IUnknown* createThroughCom() {
    IUnknown* object = nullptr;
    const HRESULT hr =
        CoCreateInstance(CLSID_Addin, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object));
    if (FAILED(hr)) {
        std::fprintf(stderr,
                     "orvane-host: CoCreateInstance of the registered add-in failed (%s); loading it directly\n",
                     hresultText(hr).c_str());
        return nullptr;
    }
    return object;
}

IUnknown* createFromModule(const std::wstring& path) {
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        fail("cannot load " + Utf16ToUtf8(path) + " (error " + std::to_string(GetLastError()) + ")");
    }
    g_addinModule = module;
    g_addinModulePath = path;
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject = procAddress<GetClassObject>(module, "DllGetClassObject");
    if (getClassObject == nullptr) {
        fail(Utf16ToUtf8(path) + " exports no DllGetClassObject");
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(CLSID_Addin, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || factory == nullptr) {
        fail("DllGetClassObject failed (" + hresultText(hr) + ")");
    }
    IUnknown* object = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
    factory->Release();
    if (FAILED(hr) || object == nullptr) {
        fail("IClassFactory::CreateInstance failed (" + hresultText(hr) + ")");
    }
    return object;
}

IHostedAddin* createAddin(const std::wstring& explicitPath) {
    IUnknown* object = nullptr;
    if (explicitPath.empty()) {
        const std::wstring server = registeredServer();
        if (!server.empty()) {
            object = createThroughCom();
            if (object != nullptr) {
                g_addinPath = Utf16ToUtf8(server);
                g_addinModule = GetModuleHandleW(server.c_str());
            }
        }
    }
    if (object == nullptr) {
        const std::wstring path = explicitPath.empty() ? exeFolder() + L"Orvane.dll" : explicitPath;
        object = createFromModule(path);
        g_addinPath = Utf16ToUtf8(path);
    }
    IHostedAddin* hosted = nullptr;
    const HRESULT hr = object->QueryInterface(IID_IHostedAddin, reinterpret_cast<void**>(&hosted));
    object->Release();
    if (FAILED(hr) || hosted == nullptr) {
        fail("the add-in object has no IHostedAddin (" + hresultText(hr) + ")");
    }
    return hosted;
}

// --- the host table ---------------------------------------------------------------------------------

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
    lua_pushstring(L, g_addinPath.c_str());
    return 1;
}

int hostStartupResult(lua_State* L) {
    if (!g_startupCalled) {
        lua_pushnil(L);
    } else {
        lua_pushnumber(L, static_cast<double>(static_cast<unsigned long>(g_startupResult)));
    }
    return 1;
}

int hostReleaseAddin(lua_State* L) {
    if (g_addin == nullptr) {
        lua_pushnil(L);
        return 1;
    }
    IHostedAddin* addin = g_addin;
    g_addin = nullptr;
    lua_pushinteger(L, static_cast<lua_Integer>(addin->Release()));
    return 1;
}

int hostFreeAddin(lua_State* L) {
    // A module that COM loaded is COM's to free.
    if (g_addinModule == nullptr || g_addinModulePath.empty()) {
        lua_pushnil(L);
        return 1;
    }
    if (g_addin != nullptr) {
        IHostedAddin* addin = g_addin;
        g_addin = nullptr;
        addin->Release();
    }
    // The add-in's window procedure lives in its module: no window of it may outlive the module.
    const bool keepWindows = lua_toboolean(L, 1) != 0;
    while (!keepWindows) {
        HWND window = FindWindowExW(HWND_MESSAGE, nullptr, orvane::kMessageWindowName, nullptr);
        if (window == nullptr || !DestroyWindow(window)) {
            break;
        }
    }
    HMODULE module = g_addinModule;
    g_addinModule = nullptr;
    lua_pushboolean(L, FreeLibrary(module) ? 1 : 0);
    return 1;
}

int hostMemory(lua_State* L) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        return luaL_error(L, "GetProcessMemoryInfo failed (error %d)", static_cast<int>(GetLastError()));
    }
    lua_pushnumber(L, static_cast<double>(counters.WorkingSetSize));
    lua_pushnumber(L, static_cast<double>(counters.PeakWorkingSetSize));
    return 2;
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
    const BOOL loaded = !g_addinModulePath.empty() && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                                         g_addinModulePath.c_str(), &module);
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
    AddinExport function = g_addinModule != nullptr ? procAddress<AddinExport>(g_addinModule, name) : nullptr;
    if (function == nullptr) {
        lua_pushnil(L);
        lua_pushfstring(L, "the add-in exports no %s", name);
        return 2;
    }
    if (!onThread) {
        lua_pushinteger(L, function());
        return 1;
    }
    // The export may send to a window of this thread, which answers only while this thread serves
    // its messages.
    auto* parameter = new AddinExport(function);
    HANDLE started = CreateThread(nullptr, 0, callExportThread, parameter, 0, nullptr);
    if (started == nullptr) {
        delete parameter;
        return luaL_error(L, "cannot start a thread (error %d)", static_cast<int>(GetLastError()));
    }
    DWORD answer = 0;
    bool finished = false;
    {
        // Closed before anything is pushed: a Lua error leaves by longjmp, which no destructor survives.
        const orvane::unique_kernel_handle thread(started);
        const HANDLE waitOn = thread.get();
        const ULONGLONG deadline = GetTickCount64() + 10000;
        while (!finished && GetTickCount64() < deadline) {
            finished = MsgWaitForMultipleObjects(1, &waitOn, FALSE, 10, QS_ALLINPUT) == WAIT_OBJECT_0;
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        finished = finished && GetExitCodeThread(thread.get(), &answer);
    }
    if (!finished) {
        lua_pushnil(L);
        lua_pushliteral(L, "timeout");
        return 2;
    }
    lua_pushinteger(L, static_cast<int>(answer));
    return 1;
}

int hostCheckWarnings(lua_State* L) {
    lua_getfield(L, LUA_REGISTRYINDEX, "orvane-host.check-warnings");
    return 1;
}

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
        {"release_addin", hostReleaseAddin},
        {"free_addin", hostFreeAddin},
        {"addin_loaded", hostAddinLoaded},
        {"create_window", hostCreateWindow},
        {"foreground_window", hostForegroundWindow},
        {"memory", hostMemory},
        {"handles", hostHandles},
        {"addin_window", hostAddinWindow},
        {"check_warnings", hostCheckWarnings},
        {"lightuserdata", hostLightUserdata},
        {"call_export", hostCallExport},
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

void installArgs(lua_State* L, const std::string& script, const std::vector<std::string>& args) {
    lua_createtable(L, static_cast<int>(args.size()), 1);
    lua_pushstring(L, script.c_str());
    lua_rawseti(L, -2, 0);
    int index = 1;
    for (const std::string& value : args) {
        lua_pushstring(L, value.c_str());
        lua_rawseti(L, -2, index++);
    }
    lua_setfield(L, LUA_GLOBALSINDEX, "arg");
}

int traceback(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) {
        return 1;  // leave non-string error objects for the reporter
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

int runScript(lua_State* L, const std::wstring& scriptPath) {
    lua_pushcclosure(L, traceback, 0);
    const int handler = lua_gettop(L);
    // luaL_loadfile opens the file with the C runtime's narrow fopen, which takes the ANSI code page.
    int status = luaL_loadfile(L, Utf16ToAnsi(scriptPath).c_str());
    if (status == 0) {
        status = lua_pcall(L, 0, 0, handler);
    }
    if (status != 0) {
        const char* message = lua_tolstring(L, -1, nullptr);
        std::fprintf(stderr, "%s\n", message != nullptr ? message : "(error object is not a string)");
        std::fflush(stderr);
        return 1;
    }
    return 0;
}

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr,
                 "orvane-host: %s\n"
                 "usage: orvane-host.exe [--addin PATH] [--no-env] [--startup-count N] [--no-startup] "
                 "[--debug-alloc] [--check FILE | --no-check] SCRIPT.lua [ARG...]\n",
                 problem.c_str());
    std::fflush(stderr);
    std::exit(2);
}

struct Options {
    std::wstring addinPath;
    std::wstring checkPath;  // annotations to check calls against; empty: look for them
    bool check = true;
    bool noEnv = false;
    bool debugAllocator = false;
    int startupCount = 1;
    std::wstring script;
    std::vector<std::string> args;
};

Options parseOptions(int argc, wchar_t** argv) {
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--") {
            ++i;
            break;
        }
        if (option.rfind(L"--", 0) != 0) {
            break;
        }
        if (option == L"--addin" || option == L"--startup-count" || option == L"--check") {
            if (i + 1 >= argc) {
                usage(Utf16ToUtf8(option) + " needs a value");
            }
            const std::wstring value = argv[++i];
            if (option == L"--addin") {
                options.addinPath = value;
            } else if (option == L"--check") {
                options.checkPath = value;
            } else {
                wchar_t* end = nullptr;
                const long count = std::wcstol(value.c_str(), &end, 10);
                if (value.empty() || *end != L'\0' || count < 0 || count > 1000) {
                    usage("--startup-count takes a number from 0 to 1000");
                }
                options.startupCount = static_cast<int>(count);
            }
        } else if (option == L"--no-env") {
            options.noEnv = true;
        } else if (option == L"--no-startup") {
            options.startupCount = 0;
        } else if (option == L"--debug-alloc") {
            options.debugAllocator = true;
        } else if (option == L"--no-check") {
            options.check = false;
        } else {
            usage("unknown option " + Utf16ToUtf8(option));
        }
    }
    if (i >= argc) {
        usage("no script given");
    }
    options.script = argv[i++];
    for (; i < argc; ++i) {
        options.args.push_back(Utf16ToUtf8(argv[i]));
    }
    return options;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) {
        usage("cannot read the command line");
    }
    const Options options = parseOptions(argc, argv);
    LocalFree(argv);

    const HRESULT comResult = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(comResult)) {
        fail("CoInitializeEx failed (" + hresultText(comResult) + ")");
    }

    if (options.noEnv && VemoHost_SetNoDefaultEnv(1) != 0) {
        fail("the runtime already has a default environment");
    }
    if (options.debugAllocator && VemoHost_UseDebugAllocator(1) != 0) {
        fail("the runtime already has a default environment");
    }

    g_addin = createAddin(options.addinPath);
    for (int n = 0; n < options.startupCount; ++n) {
        g_startupCalled = true;
        g_startupResult = g_addin->Startup(nullptr);
        if (FAILED(g_startupResult)) {
            std::fprintf(stderr, "orvane-host: Startup returned %s\n", hresultText(g_startupResult).c_str());
            std::fflush(stderr);
        }
    }

    lua_State* L = options.noEnv ? luaL_newstate() : VemoHost_DefaultState();
    if (L == nullptr) {
        fail("no Lua state to run the script in");
    }
    if (options.noEnv) {
        luaL_openlibs(L);
    }
    installHostTable(L);
    installArgs(L, Utf16ToUtf8(options.script), options.args);
    if (options.check && !options.noEnv) {
        const std::wstring annotations = options.checkPath.empty() ? findAnnotations() : options.checkPath;
        if (!annotations.empty()) {
            installChecks(L, annotations);
        }
    }

    const int status = runScript(L, options.script);

    if (g_addin != nullptr) {
        IHostedAddin* addin = g_addin;
        g_addin = nullptr;
        addin->Release();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}
