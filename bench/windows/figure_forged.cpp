// orvane_bench forged: forged tray requests.
//
// Any process can post 0x403. With no handler and no tray window each one fails twice over, and the
// script thread writes what it may of those failures; the baseline is the same posts handled by a
// window procedure that does nothing. Both go in batches well inside a message queue's 10,000.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/windows/shared.hpp"
#include "bridge/message_window.hpp"
#include "bridge/speed_limit.hpp"
#include "bridge/window_messages.hpp"

namespace orvane::bench {

namespace {

constexpr UINT kEmptyMessage = WM_APP + 2;

double TimePosts(HWND window, UINT message, int n) {
    const double start = NowMs();
    for (int posted = 0; posted < n;) {
        const int batch = std::min(500, n - posted);
        for (int i = 0; i < batch; ++i) ::PostMessageW(window, message, 0, 0);
        posted += batch;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return NowMs() - start;
}

}  // namespace

void FigureForged(HWND rawWindow, const Options& options) {
    const int n = options.quick ? 100 : 10000;
    const int rounds = options.quick ? 1 : 9;
    HWND window = orvane::AddinWindow().Handle();
    orvane::ClearSpeedLimitHandler();
    // Another program's tray window (a test's, say) would take the answers, and they would be timed too.
    if (orvane::FindTrayWindow() != nullptr) {
        std::printf("forged: not measured: a tray window is there\n");
        return;
    }
    (void)TimePosts(window, orvane::WM_SPEED_LIMIT_ASK, n / 10);
    (void)TimePosts(rawWindow, kEmptyMessage, n / 10);
    std::vector<double> forgedMs, plainMs, ratios;
    for (int r = 0; r < rounds; ++r) {
        double a = 0, b = 0;
        if (r % 2 == 0) {
            a = TimePosts(window, orvane::WM_SPEED_LIMIT_ASK, n);
            b = TimePosts(rawWindow, kEmptyMessage, n);
        } else {
            b = TimePosts(rawWindow, kEmptyMessage, n);
            a = TimePosts(window, orvane::WM_SPEED_LIMIT_ASK, n);
        }
        forgedMs.push_back(a);
        plainMs.push_back(b);
        ratios.push_back(a / b);
    }
    const double ratio = Median(ratios);
    std::printf(
        "forged: %d forged 0x403 (no handler, no tray window) %.1f ms vs %d posts to an empty window procedure "
        "%.1f ms (median of %d rounds): %.2fx\n",
        n, Median(forgedMs), n, Median(plainMs), rounds, ratio);
    g_rows.push_back({std::to_string(n) + " forged 0x403, against as many posts to an empty window procedure",
                      Fixed(Median(forgedMs), 1, " ms"), Fixed(Median(plainMs), 1, " ms"), Fixed(ratio, 2, "x"),
                      "(none)"});
}

}  // namespace orvane::bench
