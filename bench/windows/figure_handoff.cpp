// orvane_bench handoff: answers handed to the script thread, posted or sent.
//
// The thread that answers hands its answers over one by one: the add-in queues each and posts the
// window a delivery message, the bare way sends each and waits until its callback has run. How long
// the answering thread is held is what the network loop, which answers every request, could not do
// anything else.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/windows/shared.hpp"
#include "bridge/callback_ref.hpp"
#include "bridge/deliveries.hpp"
#include "bridge/request.hpp"
#include "common/win_handles.hpp"

namespace orvane::bench {

namespace {

struct Handoff {
    std::vector<std::unique_ptr<orvane::Request>> requests;  // posted: the add-in's answered requests
    HWND window = nullptr;                                   // sent: the bare window
    int count = 0;
    double heldMs = 0;
};

DWORD WINAPI PostAnswers(void* parameter) {
    auto* handoff = static_cast<Handoff*>(parameter);
    const double start = NowMs();
    for (std::unique_ptr<orvane::Request>& request : handoff->requests) orvane::Deliver(std::move(request));
    handoff->heldMs = NowMs() - start;
    return 0;
}

DWORD WINAPI SendAnswers(void* parameter) {
    auto* handoff = static_cast<Handoff*>(parameter);
    const double start = NowMs();
    for (int i = 0; i < handoff->count; ++i) ::SendMessageW(handoff->window, kRawCallback, 0, 0);
    handoff->heldMs = NowMs() - start;
    return 0;
}

struct HandoffTimes {
    double heldUs;  // per answer, on the answering thread
    double lastMs;  // until the last callback ran
};

// Runs the hand-off on a thread of its own while this thread serves its messages.
HandoffTimes TimeHandoff(LPTHREAD_START_ROUTINE hand, Handoff& handoff, const std::function<bool()>& allCalled) {
    const double start = NowMs();
    UniqueKernelHandle thread(::CreateThread(nullptr, 0, hand, &handoff, 0, nullptr));
    const bool called = PumpUntil(allCalled, 30000);
    const double last = NowMs() - start;
    HANDLE ended = thread.get();
    while (::MsgWaitForMultipleObjects(1, &ended, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        PumpOnce(0);
    }
    if (!called) return {-1, -1};
    return {handoff.heldMs * 1000.0 / handoff.count, last};
}

}  // namespace

void FigureHandoff(const Script& script, HWND rawWindow, const Options& options) {
    const int n = options.quick ? 20 : 2000;
    const int rounds = options.quick ? 1 : 7;
    lua_State* L = script.state();
    lua_pushcfunction(L, &NoteCallback);
    g_rawCallbackState = L;
    g_rawCallbackRef = luaL_ref(L, LUA_REGISTRYINDEX);
    auto posted = [&] {
        Handoff handoff;
        handoff.count = n;
        for (int i = 0; i < n; ++i) {
            lua_pushcfunction(L, &NoteCallback);
            auto request = std::make_unique<orvane::Request>("handoff", orvane::CallbackRef(orvane::TakeCallback(L)));
            request->Answer("x");
            handoff.requests.push_back(std::move(request));
        }
        const long target = g_callbacks.calls + n;
        return TimeHandoff(&PostAnswers, handoff, [&] { return g_callbacks.calls >= target; });
    };
    auto sent = [&] {
        Handoff handoff;
        handoff.window = rawWindow;
        handoff.count = n;
        const long target = g_rawDone + n;
        return TimeHandoff(&SendAnswers, handoff, [&] { return g_rawDone >= target; });
    };
    (void)posted();
    (void)sent();
    std::vector<double> postedUs, sentUs, postedLast, sentLast, ratios;
    for (int r = 0; r < rounds; ++r) {
        HandoffTimes a{}, b{};
        if (r % 2 == 0) {
            a = posted();
            b = sent();
        } else {
            b = sent();
            a = posted();
        }
        if (a.heldUs < 0 || b.heldUs < 0) {
            std::printf("handoff: an answer was not called back within 30 s\n");
            g_failed = true;
            return;
        }
        postedUs.push_back(a.heldUs);
        sentUs.push_back(b.heldUs);
        postedLast.push_back(a.lastMs);
        sentLast.push_back(b.lastMs);
        ratios.push_back(b.heldUs / a.heldUs);
    }
    luaL_unref(L, LUA_REGISTRYINDEX, g_rawCallbackRef);
    const double ratio = Median(ratios);
    std::printf(
        "handoff: %d answers from another thread: the answering thread held %.2f us per answer posted (the "
        "add-in's queue) vs %.2f us sent (SendMessageW, until its callback ran): %.1fx; the last callback "
        "after %.1f ms vs %.1f ms (median of %d rounds)\n",
        n, Median(postedUs), Median(sentUs), ratio, Median(postedLast), Median(sentLast), rounds);
    g_rows.push_back({std::to_string(n) + " answers handed to the script thread: the answering thread held per answer",
                      Fixed(Median(postedUs), 2, " us posted"), Fixed(Median(sentUs), 2, " us sent"),
                      Fixed(ratio, 1, "x less held"), "(none)"});
}

}  // namespace orvane::bench
