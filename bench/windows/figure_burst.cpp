// orvane_bench burst: a tips request behind a burst of game-platform requests.
//
// A script asks the game platform thousands of times at once, of a server that hangs, then asks for a
// tips id: the one loop that runs both sets each exchange up, and the tips request must not wait for
// the whole burst. Its time from call to callback, against the same request with nothing before it.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/loopback_peers.hpp"
#include "bench/windows/shared.hpp"
#include "bridge/request.hpp"

namespace orvane::bench {

void FigureBurst(const Script& script, GamePeer& game, const Options& options) {
    const lua_CFunction getTipsId = MethodNamed("GetTipsId");
    const lua_CFunction getActiveGame = MethodNamed("GetActiveGame");
    const int burst = options.quick ? 50 : 5000;
    const int rounds = options.quick ? 1 : 5;
    const auto tipsMs = [&] {
        const long target = g_callbacks.calls + 1;
        const double start = NowMs();
        script.Ask(getTipsId, "burst", "1");
        return PumpUntil([&] { return g_callbacks.calls >= target; }, 30000) ? NowMs() - start : -1.0;
    };
    // Both services' addresses are known from here on, as they are minutes long in a host.
    script.Ask(getActiveGame, "warm", "x");
    (void)tipsMs();
    PumpUntil([] { return orvane::LiveRequests() == 0; }, 10000);
    std::vector<double> alone, behind;
    for (int r = 0; r < rounds; ++r) {
        alone.push_back(tipsMs());
        game.SetSilent(true);
        for (int i = 0; i < burst; ++i) script.Ask(getActiveGame, "burst", "x");
        behind.push_back(tipsMs());
        game.SetSilent(false);
        if (!PumpUntil([] { return orvane::LiveRequests() == 0; }, 120000) || alone.back() < 0 || behind.back() < 0) {
            std::printf("burst: requests still alive after 120 s\n");
            g_failed = true;
            return;
        }
    }
    std::printf("burst: GetTipsId behind %d starting GetActiveGame %.1f ms vs %.1f ms alone (medians of %d)\n", burst,
                Median(behind), Median(alone), rounds);
    g_rows.push_back(
        {"GetTipsId call to callback behind " + std::to_string(burst) + " GetActiveGame just started, against alone",
         Fixed(Median(behind), 1, " ms"), Fixed(Median(alone), 1, " ms"), Fixed(Median(behind) / Median(alone), 1, "x"),
         "<= 500 ms"});
}

}  // namespace orvane::bench
