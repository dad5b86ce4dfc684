#include "bench/windows/shared.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bridge/setup_status.hpp"
#include "common/win_handles.hpp"
#include "net/wire.hpp"

namespace orvane::bench {

// ---- measuring ---------------------------------------------------------------------------------

double NowMs() {
    static const double ticksPerMs = [] {
        LARGE_INTEGER frequency;
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMs;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

std::vector<Row> g_rows;
bool g_failed = false;

std::string Fixed(double value, int decimals, const char* unit, bool sign) {
    char text[64];
    std::snprintf(text, sizeof text, sign ? "%+.*f%s" : "%.*f%s", decimals, value, unit);
    return text;
}

// ---- the script thread's messages -----------------------------------------------------------------

void PumpOnce(DWORD waitMs) {
    ::MsgWaitForMultipleObjectsEx(0, nullptr, waitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

void Idle(double ms) {
    PumpUntil([] { return false; }, ms);
}

long g_rawDone = 0;
lua_State* g_rawCallbackState = nullptr;
int g_rawCallbackRef = 0;

namespace {

LRESULT CALLBACK RawWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRawCallback) {
        lua_rawgeti(g_rawCallbackState, LUA_REGISTRYINDEX, g_rawCallbackRef);
        lua_pushstring(g_rawCallbackState, "x");
        lua_pcall(g_rawCallbackState, 1, 0, 0);
    }
    if (message == kRawDone || message == kRawCallback) {
        ++g_rawDone;
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

HWND CreateRawWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &RawWindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OrvaneBenchRawWindow";
    ::RegisterClassW(&windowClass);
    return ::CreateWindowExW(0, windowClass.lpszClassName, windowClass.lpszClassName, 0, 0, 0, 0, 0, HWND_MESSAGE,
                             nullptr, windowClass.hInstance, nullptr);
}

// ---- the add-in's side ---------------------------------------------------------------------------

lua_CFunction MethodNamed(const char* name) {
    for (const VemoMethod* row = orvane::kMethodTable; row->name != nullptr; ++row) {
        if (std::strcmp(row->name, name) == 0) return row->function;
    }
    return nullptr;
}

Callbacks g_callbacks;

int NoteCallback(lua_State* L) {
    std::size_t length = 0;
    const char* text = lua_tolstring(L, 1, &length);
    ++g_callbacks.calls;
    g_callbacks.lastLength = length;
    if (text != nullptr && !g_callbacks.perRequest.empty()) {
        const std::string_view echoed(text, length);
        constexpr std::string_view kPid = "request=tips&pid=";
        if (echoed.substr(0, kPid.size()) == kPid) {
            const std::size_t id = std::strtoul(text + kPid.size(), nullptr, 10);
            if (id < g_callbacks.perRequest.size()) ++g_callbacks.perRequest[id];
        }
    }
    return 0;
}

// ---- a script call's cost, for the call and restarts figures --------------------------------

int BareStatus(lua_State* L) {
    const orvane::SetupStatus status = orvane::CurrentSetupStatus();
    lua_pushinteger(L, status.first);
    lua_pushinteger(L, status.second);
    return 2;
}

namespace {

double TimeCalls(lua_State* L, int chunk, lua_CFunction f, const Script& script, int n) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, chunk);
    lua_pushcfunction(L, f);
    script.PushReceiver();
    lua_pushinteger(L, n);
    const double start = NowMs();
    lua_call(L, 3, 0);
    return (NowMs() - start) * 1e6 / static_cast<double>(n);  // ns per call
}

}  // namespace

CallCost MeasureCallCost(const Script& script, int chunk, int n, int rounds, lua_CFunction also) {
    lua_State* L = script.state();
    const lua_CFunction addin = MethodNamed("QueryOrvaneSetupStatus");
    (void)TimeCalls(L, chunk, addin, script, n / 10);  // warm caches and the branch predictor
    (void)TimeCalls(L, chunk, &BareStatus, script, n / 10);
    std::vector<double> addinNs, bareNs, ratios, alsoNs;
    for (int r = 0; r < rounds; ++r) {
        double a = 0, b = 0;
        if (r % 2 == 0) {
            a = TimeCalls(L, chunk, addin, script, n);
            b = TimeCalls(L, chunk, &BareStatus, script, n);
        } else {
            b = TimeCalls(L, chunk, &BareStatus, script, n);
            a = TimeCalls(L, chunk, addin, script, n);
        }
        addinNs.push_back(a);
        bareNs.push_back(b);
        ratios.push_back(a / b);
        if (also != nullptr) alsoNs.push_back(TimeCalls(L, chunk, also, script, n));
    }
    return {Median(addinNs), Median(bareNs), Median(ratios), Median(alsoNs)};
}

int CallLoop(lua_State* L) {
    luaL_loadstring(L, "local f, u, n = ... for i = 1, n do local a, b = f(u) end");
    return luaL_ref(L, LUA_REGISTRYINDEX);
}

// ---- the bare tips exchange, for the tips and growth figures --------------------------------

DWORD WINAPI RawTipsThread(void* parameter) {
    const auto* exchange = static_cast<const RawTipsExchange*>(parameter);
    UniqueSocket s(::socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in to = Loopback(wire::kTipsPort);
    ::sendto(s.get(), exchange->datagram.data(), static_cast<int>(exchange->datagram.size()), 0,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
    const DWORD wait = 10000;
    ::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait), sizeof wait);
    char reply[1024];
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int got = ::recvfrom(s.get(), reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    s.reset();
    ::SendMessageW(exchange->window, kRawDone, static_cast<WPARAM>(got), 0);
    return 0;
}

}  // namespace orvane::bench
