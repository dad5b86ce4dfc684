// orvane_bench restarts: script calls after many restarts.
//
// A host that restarts its scripts ends the add-in's window (by WM_CLOSE, or by destroying it),
// closes its Lua state and starts the add-in again, with requests still under way; they end after
// it. The script call of a Lua state that lives on is measured before and after, each against the
// bare call of the same moment, so that a drift of the machine falls on both sides alike.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "bench/loopback_peers.hpp"
#include "bench/windows/shared.hpp"
#include "bridge/message_table.hpp"
#include "bridge/message_window.hpp"
#include "bridge/request.hpp"
#include "bridge/state_note.hpp"

namespace orvane::bench {

void FigureRestarts(const Script& script, TipsPeer& peer, const Options& options) {
    const int cycles = options.quick ? 3 : 100;
    const int inFlight = options.quick ? 5 : 100;
    // Short rounds, many of them: this machine's speed changes for seconds at a time, and a round
    // should see one speed only.
    const int n = options.quick ? 1000 : 200000;
    const int rounds = options.quick ? 1 : 41;
    lua_State* L = script.state();
    const int chunk = CallLoop(L);
    const CallCost before = MeasureCallCost(script, chunk, n, rounds);
    const lua_CFunction getTipsId = MethodNamed("GetTipsId");
    // The peer answers once every cycle's requests are in, so each is under way when its window ends.
    peer.Gather(cycles * inFlight);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        {
            const Script restarted;
            for (int i = 0; i < inFlight; ++i) restarted.Ask(getTipsId, "restart", "x");
            HWND window = orvane::AddinWindow().Handle();
            if (cycle % 2 == 0) {
                ::SendMessageW(window, WM_CLOSE, 0, 0);
            } else {
                ::DestroyWindow(window);
            }
        }
        orvane::CreateMessageWindow();
    }
    if (!PumpUntil([] { return orvane::LiveRequests() == 0; }, 30000)) {
        std::printf("restarts: requests of the closed Lua states were still alive after 30 s\n");
        g_failed = true;
    }
    const std::size_t waiting = orvane::StateNote::UnrefsWaiting();
    const CallCost after = MeasureCallCost(script, chunk, n, rounds);
    luaL_unref(L, LUA_REGISTRYINDEX, chunk);
    const double ratio = after.ratio / before.ratio;
    std::printf(
        "restarts: QueryOrvaneSetupStatus %.1f ns vs bare %.1f ns (%.3fx) before; after %d close/restart cycles "
        "with %d requests under way each (%zu references left waiting) %.1f ns vs bare %.1f ns (%.3fx) "
        "(medians of %d rounds of %d): after/before %.3fx\n",
        before.addinNs, before.bareNs, before.ratio, cycles, inFlight, waiting, after.addinNs, after.bareNs,
        after.ratio, rounds, n, ratio);
    g_rows.push_back({"script call after " + std::to_string(cycles) + " close/restart cycles with " +
                          std::to_string(inFlight) + " requests under way each, against before them",
                      Fixed(after.addinNs, 1, " ns") + " (" + Fixed(after.ratio, 3, "x") + " bare)",
                      Fixed(before.addinNs, 1, " ns") + " (" + Fixed(before.ratio, 3, "x") + " bare)",
                      Fixed(ratio, 3, "x"), "within 2%"});
}

}  // namespace orvane::bench
