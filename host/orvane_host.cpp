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
//     --arm-fault KIND:N only with the add-in built with its fault points: the Nth call of that kind
//                        from Startup on fails (tests/failure_paths.cmake), Startup's own included.
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
//   host.startup([on_thread])
//                         call Startup(NULL) once more, on this thread or, with on_thread, on a thread
//                         of its own while this one serves messages (10 s at most); its HRESULT as a
//                         number, nil and a message when the object was released or the time ran out.
//   host.release_addin()  release the host's reference to the add-in object now; returns the count
//                         Release reported, nil if already released.
//   host.free_addin([keep_windows])
//                         unload the add-in as a host that is done with it would: release the object,
//                         destroy the add-in's message windows on this thread, FreeLibrary the module.
//                         Returns true when FreeLibrary succeeded, nil when the add-in came through
//                         COM or was freed already. A started add-in stays mapped all the same. With
//                         keep_windows the windows are left to the add-in, as a host that knows nothing
//                         of them leaves them.
//   host.destroy_addin_windows()
//                         destroy the add-in's message windows of this thread without WM_CLOSE, as
//                         host.free_addin does; how many there were.
//   host.addin_loaded()   whether the add-in module is still mapped in the process.
//   host.create_window(foreground)  a visible top-level window of the host's, activated when
//                         foreground is true; returns its handle as light user data.
//   host.memory()         working set and peak working set of this process, in bytes.
//   host.handles()        how many handles this process holds.
//   host.addin_window()   whether a window of the add-in's class exists in this process.
//   host.check_warnings() the checking mode's warnings so far (a list of lines), nil when it is off.
//   host.debug_output()   the lines written with OutputDebugString since the last call (a list), as
//                         DebugView shows them: the add-in writes one for every failure.
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
//
// This file holds the command line and the run; the add-in is got in addin_loader.cpp, and the `host`
// table and the checking mode are host_table.cpp's.

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}

#include "common/text.hpp"
#include "host/addin_loader.hpp"
#include "host/debug_output.hpp"
#include "host/host_table.hpp"
#include "host/runtime/vemo_host.h"

namespace {

using orvane::Utf16ToAnsi;
using orvane::Utf16ToUtf8;
using orvane::host::createAddin;
using orvane::host::fail;
using orvane::host::findAnnotations;
using orvane::host::g_addin;
using orvane::host::hresultText;
using orvane::host::installChecks;
using orvane::host::installHostTable;
using orvane::host::KeepDebugOutput;
using orvane::host::procAddress;
using orvane::host::releaseAddin;
using orvane::host::startAddin;

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

int runScript(lua_State* L, const std::wstring& scriptPath) {
    lua_pushcclosure(L, VemoHost_Traceback, 0);
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
                 "[--debug-alloc] [--check FILE | --no-check] [--arm-fault KIND:N] SCRIPT.lua [ARG...]\n",
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
    std::string armFault;  // KIND:N
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
        if (option == L"--addin" || option == L"--startup-count" || option == L"--check" || option == L"--arm-fault") {
            if (i + 1 >= argc) {
                usage(Utf16ToUtf8(option) + " needs a value");
            }
            const std::wstring value = argv[++i];
            if (option == L"--addin") {
                options.addinPath = value;
            } else if (option == L"--arm-fault") {
                options.armFault = Utf16ToUtf8(value);
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

// Arms a fault point of the add-in built with them, before Startup.
void armFault(const std::string& what) {
    using ArmFault = int (*)(const char* kind, long n);
    const std::size_t colon = what.find(':');
    const auto arm = procAddress<ArmFault>(g_addin.module, "OrvaneArmFault");
    if (colon == std::string::npos || arm == nullptr ||
        arm(what.substr(0, colon).c_str(), std::strtol(what.c_str() + colon + 1, nullptr, 10)) == 0) {
        fail("--arm-fault " + what + ": the add-in has no such fault point");
    }
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

    KeepDebugOutput();
    createAddin(options.addinPath);
    if (!options.armFault.empty()) armFault(options.armFault);
    startAddin(options.startupCount);

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

    releaseAddin();
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}
