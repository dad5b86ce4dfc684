// orvane_bench inflight: many requests in flight at once.
#include <cstddef>
#include <cstdio>
#include <string>

#include "bench/loopback_peers.hpp"
#include "bench/windows/shared.hpp"
#include "bridge/request.hpp"
#include "common/worker.hpp"

namespace orvane::bench {

void FigureInflight(const Script& script, TipsPeer& peer, const Options& options) {
    const lua_CFunction getTipsId = MethodNamed("GetTipsId");
    const int n = options.quick ? 20 : 1000;
    g_callbacks.perRequest.assign(static_cast<std::size_t>(n), 0);
    const long before = g_callbacks.calls;
    peer.Gather(n);
    const double start = NowMs();
    for (int i = 0; i < n; ++i) script.Ask(getTipsId, std::to_string(i).c_str(), "x");
    const double started = NowMs() - start;
    PumpUntil([&] { return g_callbacks.calls - before >= n; }, 30000);
    const double answered = NowMs() - start;
    Idle(500);  // a second call of any callback would come now
    PumpUntil([] { return orvane::RunningWorkers() == 0 && orvane::LiveRequests() == 0; }, 5000);
    int once = 0, lost = 0, twice = 0;
    for (const int count : g_callbacks.perRequest) {
        if (count == 1) ++once;
        if (count == 0) ++lost;
        if (count > 1) ++twice;
    }
    g_callbacks.perRequest.clear();
    std::printf(
        "inflight: %d GetTipsId started in %.0f ms; the peer held %d at once; all answered after %.0f ms: "
        "%d once, %d lost, %d more than once; workers left %ld\n",
        n, started, peer.MostHeld(), answered, once, lost, twice, orvane::RunningWorkers() + orvane::LiveRequests());
    if (once != n) g_failed = true;
    g_rows.push_back({std::to_string(n) + " GetTipsId in flight at once", std::to_string(once) + " called back once",
                      std::to_string(peer.MostHeld()) + " held by the peer at once",
                      std::to_string(lost) + " lost, " + std::to_string(twice) + " twice", "every one once"});
}

}  // namespace orvane::bench
