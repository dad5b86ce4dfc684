// orvane_bench http: SyncHttpRequest against a peer slower than its limit.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "bench/loopback_peers.hpp"
#include "bench/windows/shared.hpp"
#include "common/win_handles.hpp"

namespace orvane::bench {

namespace {

// The bare platform wait the method stands on: a thread that runs longer than the limit, waited
// for with that limit.
DWORD WINAPI OutlastLimit(void* ms) {
    ::Sleep(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(ms)));
    return 0;
}

}  // namespace

void FigureHttp(const Script& script, const HttpPeer& peer, const Options& options) {
    const lua_CFunction syncHttpRequest = MethodNamed("SyncHttpRequest");
    lua_State* L = script.state();
    const int limits[] = {50, 100, 250, 500, 1000};
    const int reps = options.quick ? 1 : 7;
    double worstOver = -1e9, worstBareOver = -1e9;
    for (const int limit :
         options.quick ? std::vector<int>{50} : std::vector<int>(std::begin(limits), std::end(limits))) {
        std::vector<double> elapsed, bare;
        for (int r = 0; r < reps; ++r) {
            const std::string url = peer.Url(limit + 500);
            lua_pushcfunction(L, syncHttpRequest);
            script.PushReceiver();
            lua_pushstring(L, url.c_str());
            lua_pushinteger(L, limit);
            const double start = NowMs();
            lua_call(L, 3, 1);
            elapsed.push_back(NowMs() - start);
            if (lua_toboolean(L, -1)) {
                std::printf("http: a request to a peer slower than %d ms answered true\n", limit);
                g_failed = true;
            }
            lua_pop(L, 1);
            const double bareStart = NowMs();
            UniqueKernelHandle thread(::CreateThread(nullptr, 0, &OutlastLimit,
                                                     reinterpret_cast<void*>(static_cast<std::uintptr_t>(limit + 500)),
                                                     0, nullptr));
            ::WaitForSingleObject(thread.get(), static_cast<DWORD>(limit));
            bare.push_back(NowMs() - bareStart);
        }
        const double worst = *std::max_element(elapsed.begin(), elapsed.end());
        const double worstBare = *std::max_element(bare.begin(), bare.end());
        std::printf(
            "http: limit %4d ms: SyncHttpRequest returned after %.1f ms at worst (median %.1f), a bare timed "
            "wait on a thread after %.1f ms at worst\n",
            limit, worst, Median(elapsed), worstBare);
        worstOver = std::max(worstOver, worst - limit);
        worstBareOver = std::max(worstBareOver, worstBare - limit);
    }
    std::printf(
        "http: worst time past the limit %.1f ms vs %.1f ms for the bare wait: %.2fx, %.0f%% of the 50 ms "
        "allowed\n",
        worstOver, worstBareOver, worstOver / worstBareOver, worstOver * 2.0);
    g_rows.push_back(
        {"SyncHttpRequest with limit t, peer slower than t: worst time past t", Fixed(worstOver, 1, " ms", true),
         Fixed(worstBareOver, 1, " ms", true) + " (bare timed wait)",
         Fixed(worstOver / worstBareOver, 2, "x") + ", " + Fixed(worstOver * 2.0, 0, "%") + " of the 50 ms allowed",
         "returns within t + 50 ms"});
}

}  // namespace orvane::bench
