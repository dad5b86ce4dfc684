// What the figures of orvane_bench share: the clock and the medians, the table every figure adds its
// rows to, the script thread's message pump, the window the bare side delivers to, the Lua state the
// add-in's methods are called on, and the bare exchanges that more than one figure weighs against.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}

#include "bench/loopback_peers.hpp"
#include "script/script_object.hpp"

namespace orvane::bench {

// ---- measuring ---------------------------------------------------------------------------------

double NowMs();
double Median(std::vector<double> values);

struct Row {
    std::string figure;
    std::string addin;
    std::string baseline;
    std::string ratio;
    std::string goal;
    std::string floor = "(none)";  // the least the figure can cost on this platform, and the ratio to it
};
extern std::vector<Row> g_rows;
extern bool g_failed;

std::string Fixed(double value, int decimals, const char* unit = "", bool sign = false);

// ---- the script thread's messages -----------------------------------------------------------------

void PumpOnce(DWORD waitMs);

template <class Done>
bool PumpUntil(Done done, double timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() >= deadline) return false;
        PumpOnce(10);
    }
    return true;
}

void Idle(double ms);

// The window the bare baseline delivers to: one cross-thread SendMessage, counted when it is served.
constexpr UINT kRawDone = WM_APP + 1;
extern long g_rawDone;

// The same, calling a script function first, as a delivery does: the one a sent answer waits for.
constexpr UINT kRawCallback = WM_APP + 3;
extern lua_State* g_rawCallbackState;
extern int g_rawCallbackRef;

HWND CreateRawWindow();

// ---- the add-in's side ---------------------------------------------------------------------------

lua_CFunction MethodNamed(const char* name);

// What the script callbacks saw.
struct Callbacks {
    long calls = 0;
    std::size_t lastLength = 0;
    std::vector<int> perRequest;  // by the pid echoed back, for the in-flight figure
};
extern Callbacks g_callbacks;

int NoteCallback(lua_State* L);

class Script {
public:
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;
    ~Script() { lua_close(L_); }
    Script() : L_(luaL_newstate()) {
        luaL_openlibs(L_);
        // The receiver: a user datum whose first word is the object, as the runtime builds it.
        auto** box = static_cast<orvane::ScriptObject**>(lua_newuserdata(L_, sizeof(void*)));
        *box = &orvane::ScriptObject::Instance();
        receiver_ = luaL_ref(L_, LUA_REGISTRYINDEX);
    }
    lua_State* state() const { return L_; }
    void PushReceiver() const { lua_rawgeti(L_, LUA_REGISTRYINDEX, receiver_); }

    // obj:Method(a, b, callback) for the two asynchronous methods.
    void Ask(lua_CFunction method, const char* first, const char* second) const {
        lua_pushcfunction(L_, method);
        PushReceiver();
        lua_pushstring(L_, first);
        lua_pushstring(L_, second);
        lua_pushcfunction(L_, &NoteCallback);
        lua_call(L_, 4, 0);
    }

    double LuaKiB() const {
        lua_gc(L_, LUA_GCCOLLECT, 0);
        return lua_gc(L_, LUA_GCCOUNT, 0) + lua_gc(L_, LUA_GCCOUNTB, 0) / 1024.0;
    }

private:
    lua_State* L_;
    int receiver_;
};

struct Options {
    bool quick = false;
    int growthCalls = 100000;
    std::vector<std::string> figures;
    bool Wants(const char* figure) const {
        return figures.empty() || std::find(figures.begin(), figures.end(), figure) != figures.end();
    }
};

// ---- a script call's cost, for the call and restarts figures --------------------------------

// The same two values QueryOrvaneSetupStatus answers, pushed with nothing around them.
int BareStatus(lua_State* L);

// The add-in's script call against the bare one, the two taking turns so that drift in the machine's
// speed falls on both alike: the median of the rounds' ratios, and of each side's time; and, when
// asked, of a third function measured in each round after them.
struct CallCost {
    double addinNs;
    double bareNs;
    double ratio;
    double alsoNs;
};

CallCost MeasureCallCost(const Script& script, int chunk, int n, int rounds, lua_CFunction also = nullptr);

// A Lua loop calling f(u) n times, for MeasureCallCost; held by a reference.
int CallLoop(lua_State* L);

// ---- the bare tips exchange, for the tips and growth figures --------------------------------

struct RawTipsExchange {
    HWND window;
    std::string datagram;
};

// The bare work a tips request stands on: a thread, one datagram out and one in on a socket of its
// own, and one cross-thread SendMessage to a window of the script thread.
DWORD WINAPI RawTipsThread(void* parameter);

// ---- the figures, one file each: each prints its lines as it runs and adds its rows to g_rows ----

void FigureCall(const Script& script, const Options& options);
void FigureTips(const Script& script, HWND rawWindow, const Options& options);
void FigureGame(const Script& script, GamePeer& peer, HWND rawWindow, const Options& options);
void FigureBurst(const Script& script, GamePeer& game, const Options& options);
void FigureInflight(const Script& script, TipsPeer& peer, const Options& options);
void FigureRestarts(const Script& script, TipsPeer& peer, const Options& options);
void FigureHandoff(const Script& script, HWND rawWindow, const Options& options);
void FigureForged(HWND rawWindow, const Options& options);
void FigureGrowth(const Script& script, const HttpPeer& httpPeer, HWND rawWindow, const Options& options);
void FigureHttp(const Script& script, const HttpPeer& peer, const Options& options);

}  // namespace orvane::bench
