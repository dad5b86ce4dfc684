// orvane_bench call: a method call with no platform work.
#include <cstdio>

#include "bench/windows/shared.hpp"

namespace orvane::bench {

namespace {

// BareStatus, after the receiver test that the calling convention asks of every method: what is left
// of the difference beyond this is the binding's own.
int BareStatusWithReceiverTest(lua_State* L) {
    if (lua_gettop(L) < 1 || lua_touserdata(L, 1) == nullptr) return 0;
    return BareStatus(L);
}

}  // namespace

void FigureCall(const Script& script, const Options& options) {
    lua_State* L = script.state();
    const int chunk = CallLoop(L);
    const int n = options.quick ? 1000 : 2000000;
    const int rounds = options.quick ? 1 : 15;
    const CallCost cost = MeasureCallCost(script, chunk, n, rounds, &BareStatusWithReceiverTest);
    luaL_unref(L, LUA_REGISTRYINDEX, chunk);
    std::printf(
        "call: the bare function with the receiver test the convention asks for: %.1f ns, %.3fx the bare "
        "one\n",
        cost.alsoNs, cost.alsoNs / cost.bareNs);
    std::printf(
        "call: QueryOrvaneSetupStatus %.1f ns vs bare lua_CFunction %.1f ns per script call (median of %d "
        "rounds of %d): %.3fx\n",
        cost.addinNs, cost.bareNs, rounds, n, cost.ratio);
    g_rows.push_back({"script call, no platform work (QueryOrvaneSetupStatus)", Fixed(cost.addinNs, 1, " ns"),
                      Fixed(cost.bareNs, 1, " ns"), Fixed(cost.ratio, 3, "x"), "<= 1.10x"});
}

}  // namespace orvane::bench
