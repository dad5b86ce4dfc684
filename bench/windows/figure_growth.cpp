// orvane_bench growth: resources after many calls.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <wininet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "bench/loopback_peers.hpp"
#include "bench/windows/shared.hpp"
#include "bridge/request.hpp"
#include "common/win_handles.hpp"
#include "common/worker.hpp"
#include "net/wire.hpp"

namespace orvane::bench {

namespace {

struct Footprint {
    double privateKiB;
    double handles;
    double luaKiB;
};

// Wine reports the handle count as 0, so the open handles are counted by asking after each
// possible handle value up to a few thousand handles; Windows answers both ways alike.
double CountHandles() {
    DWORD reported = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &reported) && reported != 0) return reported;
    double open = 0;
    for (std::uintptr_t value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++open;
    }
    return open;
}

double PrivateKiB() {
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    // Private bytes are the commit charge; Wine fills only the older field that carries it.
    return static_cast<double>(std::max(memory.PrivateUsage, memory.PagefileUsage)) / 1024.0;
}

Footprint Measure(const Script& script) { return {PrivateKiB(), CountHandles(), script.LuaKiB()}; }

bool RunBatches(const Script& script, lua_CFunction method, int calls, int batch) {
    for (int done = 0; done < calls; done += batch) {
        const int now = std::min(batch, calls - done);
        const long target = g_callbacks.calls + now;
        for (int i = 0; i < now; ++i) script.Ask(method, "bench", "x");
        if (!PumpUntil([&] { return g_callbacks.calls >= target; }, 30000)) return false;
    }
    return true;
}

// SyncHttpRequest waits for its own worker, so its calls run one after the other.
bool RunHttpCalls(const Script& script, const std::string& url, int calls) {
    lua_State* L = script.state();
    const lua_CFunction syncHttpRequest = MethodNamed("SyncHttpRequest");
    for (int i = 0; i < calls; ++i) {
        lua_pushcfunction(L, syncHttpRequest);
        script.PushReceiver();
        lua_pushstring(L, url.c_str());
        lua_pushinteger(L, 10000);
        lua_call(L, 3, 1);
        const bool ended = lua_toboolean(L, -1) != 0;
        lua_pop(L, 1);
        if (!ended) return false;
    }
    return true;
}

// The platform work under SyncHttpRequest, bare: a thread that makes one WinINet GET the same way
// and drops the body, waited for.
DWORD WINAPI RawHttpGet(void* url) {
    HINTERNET internet = ::InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET request =
        ::InternetOpenUrlW(internet, static_cast<const wchar_t*>(url), nullptr, 0,
                           INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE, 0);
    char buffer[256];
    DWORD available = 0;
    DWORD read = 0;
    while (request != nullptr && ::InternetQueryDataAvailable(request, &available, 0, 0) && available != 0 &&
           ::InternetReadFile(request, buffer, std::min<DWORD>(available, sizeof buffer), &read)) {}
    if (request != nullptr) ::InternetCloseHandle(request);
    if (internet != nullptr) ::InternetCloseHandle(internet);
    return 0;
}

bool RunRawHttpCalls(const std::wstring& url, int calls) {
    for (int i = 0; i < calls; ++i) {
        UniqueKernelHandle thread(
            ::CreateThread(nullptr, 0, &RawHttpGet, const_cast<wchar_t*>(url.c_str()), 0, nullptr));
        if (!thread || ::WaitForSingleObject(thread.get(), 10000) != WAIT_OBJECT_0) return false;
    }
    return true;
}

// The platform work under the two asynchronous methods, bare: detached threads that each make one
// UDP exchange and one SendMessage, as many in flight at a time as the add-in's calls have.
bool RunRawTipsBatches(HWND rawWindow, int calls, int batch) {
    static const RawTipsExchange exchange{rawWindow, wire::TipsRequestDatagram("bench", "x")};
    for (int done = 0; done < calls; done += batch) {
        const int now = std::min(batch, calls - done);
        const long target = g_rawDone + now;
        for (int i = 0; i < now; ++i) {
            UniqueKernelHandle(
                ::CreateThread(nullptr, 0, &RawTipsThread, const_cast<RawTipsExchange*>(&exchange), 0, nullptr));
        }
        if (!PumpUntil([&] { return g_rawDone >= target; }, 30000)) return false;
    }
    return true;
}

}  // namespace

void FigureGrowth(const Script& script, const HttpPeer& httpPeer, HWND rawWindow, const Options& options) {
    const int calls = options.quick ? 50 : options.growthCalls;
    const int warmUp = options.quick ? 10 : 2000;
    const int batch = 100;
    const std::string url = httpPeer.Url(0);
    const std::wstring wideUrl(url.begin(), url.end());
    using Run = std::function<bool(int)>;
    struct Method {
        const char* name;
        Run run;
        const char* bareName;
        Run bare;
    };
    const Run bareAsync = [&](int n) { return RunRawTipsBatches(rawWindow, n, batch); };
    const Method methods[] = {
        {"GetTipsId", [&](int n) { return RunBatches(script, MethodNamed("GetTipsId"), n, batch); },
         "thread + UDP exchange + SendMessage", bareAsync},
        {"GetActiveGame", [&](int n) { return RunBatches(script, MethodNamed("GetActiveGame"), n, batch); },
         "thread + UDP exchange + SendMessage", bareAsync},
        {"SyncHttpRequest", [&](int n) { return RunHttpCalls(script, url, n); }, "WinINet GET on a thread",
         [&](int n) { return RunRawHttpCalls(wideUrl, n); }},
    };
    // The footprint once every thread that was started has ended and the heap has settled; the
    // handles, slow to count under Wine, only when asked for.
    auto settled = [&](bool withHandles) {
        PumpUntil([] { return orvane::RunningWorkers() == 0 && orvane::LiveRequests() == 0; }, 10000);
        Idle(options.quick ? 100 : 500);
        return withHandles ? Measure(script) : Footprint{PrivateKiB(), 0, 0};
    };
    // In five parts, with the footprint after each: a leak climbs part after part, a heap that has
    // found its working size stays level.
    struct Growth {
        double kib = 0;
        std::string trail;
        double handles = 0;
    };
    auto measure = [&](const char* name, const Run& run, Growth& growth) {
        if (!run(warmUp)) return false;
        const Footprint before = settled(true);
        growth.trail = Fixed(before.privateKiB, 0);
        Footprint now = before;
        for (int part = 0; part < 5; ++part) {
            if (!run(calls / 5 + (part < calls % 5 ? 1 : 0))) return false;
            now = settled(part == 4);
            growth.trail.push_back(' ');
            growth.trail += Fixed(now.privateKiB, 0);
        }
        growth.kib = now.privateKiB - before.privateKiB;
        growth.handles = now.handles - before.handles;
        std::printf("growth: %s, %d calls: private KiB before and after each fifth: %s; handles %+.0f\n", name, calls,
                    growth.trail.c_str(), growth.handles);
        return true;
    };
    for (const Method& method : methods) {
        Growth addin, bare;
        if (!measure(method.name, method.run, addin) || !measure(method.bareName, method.bare, bare)) {
            std::printf("growth: %s lost an answer\n", method.name);
            g_failed = true;
            return;
        }
        const double perCall = addin.kib * 1024.0 / calls;
        const double barePerCall = bare.kib * 1024.0 / calls;
        g_rows.push_back({std::string("private bytes and handles over ") + std::to_string(calls) + " calls of " +
                              method.name + ", then idle",
                          Fixed(addin.kib, 0, " KiB", true) + " (" + Fixed(perCall, 0, " B/call", true) + "), " +
                              Fixed(addin.handles, 0, " handles", true),
                          Fixed(bare.kib, 0, " KiB", true) + " (" + Fixed(barePerCall, 0, " B/call", true) + "), " +
                              Fixed(bare.handles, 0, " handles", true) + ": bare " + method.bareName,
                          Fixed(perCall - barePerCall, 0, " B/call", true) + " more than bare", "growth ~ 0"});
    }
    std::printf("growth: Lua heap %.1f KiB, workers %ld, pending deliveries %zu\n", script.LuaKiB(),
                orvane::RunningWorkers(), static_cast<std::size_t>(orvane::LiveRequests()));
}

}  // namespace orvane::bench
