// orvane_bench tips: GetTipsId call to callback.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <vector>

#include "bench/windows/shared.hpp"
#include "common/win_handles.hpp"
#include "net/wire.hpp"

namespace orvane::bench {

void FigureTips(const Script& script, HWND rawWindow, const Options& options) {
    const lua_CFunction getTipsId = MethodNamed("GetTipsId");
    const RawTipsExchange exchange{rawWindow, wire::TipsRequestDatagram("bench", "1")};
    const int n = options.quick ? 3 : 200;
    const int rounds = options.quick ? 1 : 9;
    auto addinOp = [&] {
        const long target = g_callbacks.calls + 1;
        script.Ask(getTipsId, "bench", "1");
        return PumpUntil([&] { return g_callbacks.calls >= target; }, 15000);
    };
    auto rawOp = [&] {
        const long target = g_rawDone + 1;
        UniqueKernelHandle thread(
            ::CreateThread(nullptr, 0, &RawTipsThread, const_cast<RawTipsExchange*>(&exchange), 0, nullptr));
        thread.reset();  // detached, as the add-in's workers are
        return PumpUntil([&] { return g_rawDone >= target; }, 15000);
    };
    auto timeOps = [&](auto op) {
        const double start = NowMs();
        for (int i = 0; i < n; ++i) {
            if (!op()) return -1.0;
        }
        return (NowMs() - start) * 1000.0 / static_cast<double>(n);  // us per exchange
    };
    (void)timeOps(addinOp);
    (void)timeOps(rawOp);
    std::vector<double> addinUs, rawUs, ratios;
    for (int r = 0; r < rounds; ++r) {
        double a = 0, b = 0;
        if (r % 2 == 0) {
            a = timeOps(addinOp);
            b = timeOps(rawOp);
        } else {
            b = timeOps(rawOp);
            a = timeOps(addinOp);
        }
        if (a < 0 || b < 0) {
            std::printf("tips: an exchange got no answer within 15 s\n");
            g_failed = true;
            return;
        }
        addinUs.push_back(a);
        rawUs.push_back(b);
        ratios.push_back(a / b);
    }
    const double ratio = Median(ratios);
    std::printf(
        "tips: GetTipsId call to callback %.0f us vs thread + UDP round trip + SendMessage %.0f us "
        "(median of %d rounds of %d): %.3fx\n",
        Median(addinUs), Median(rawUs), rounds, n, ratio);
    g_rows.push_back({"GetTipsId call to callback, loopback echo peer", Fixed(Median(addinUs), 0, " us"),
                      Fixed(Median(rawUs), 0, " us"), Fixed(ratio, 3, "x"), "<= 1.5x"});
}

}  // namespace orvane::bench
