// The add-in's figures under wine64 (or Windows), each measured side by side with the bare platform
// work it stands on, in the same run, and printed as a ratio. The add-in's code is linked in as the
// module links it and driven through its method table on a real Lua state of the stand-in runtime;
// the services are loopback peers inside this process, so both sides of a ratio talk to the same peer.
//
//   orvane_bench [--quick] [--growth-calls N] [FIGURE...]
//       FIGURE: call tips game inflight restarts handoff growth http forged (default: all); N: calls of each method in
//       the growth figure (default 100000)
//
// --quick runs every figure once with tiny counts: it shows that the figures still run, and its
// numbers mean nothing. The exit status is non-zero only when a figure could not run at all or a
// callback went missing or came twice; no timing is ever judged here.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/loopback_peers.hpp"
#include "bench/windows/shared.hpp"
#include "bridge/message_table.hpp"
#include "net/wire.hpp"

namespace wire = orvane::wire;

int main(int argc, char** argv) {
    using namespace orvane::bench;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            options.quick = true;
        } else if (argument == "--growth-calls" && i + 1 < argc) {
            options.growthCalls = std::max(1, std::atoi(argv[++i]));
        } else {
            options.figures.push_back(argument);
        }
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);

    Script script;
    orvane::CreateMessageWindow();
    const HWND rawWindow = CreateRawWindow();

    TipsPeer tipsPeer;
    GamePeer gamePeer;
    const bool needTips = options.Wants("tips") || options.Wants("inflight") || options.Wants("restarts") ||
                          options.Wants("growth") || options.Wants("burst");
    const bool needGame = options.Wants("game") || options.Wants("growth") || options.Wants("burst");
    HttpPeer httpPeer;
    const bool needHttp = options.Wants("http") || options.Wants("growth");
    if ((needTips && !tipsPeer.Start()) || (needGame && !gamePeer.Start()) || (needHttp && !httpPeer.Start())) {
        std::printf("bench: a service port stayed taken; is another test running?\n");
        return 2;
    }
    gamePeer.SetReply(wire::EncodeItem("games") + wire::EncodeItem("ok"));

    if (options.Wants("call")) FigureCall(script, options);
    if (options.Wants("tips")) FigureTips(script, rawWindow, options);
    if (options.Wants("game")) FigureGame(script, gamePeer, rawWindow, options);
    if (options.Wants("inflight")) FigureInflight(script, tipsPeer, options);
    if (options.Wants("burst")) FigureBurst(script, gamePeer, options);
    if (options.Wants("restarts")) FigureRestarts(script, tipsPeer, options);
    if (options.Wants("handoff")) FigureHandoff(script, rawWindow, options);
    if (options.Wants("growth")) FigureGrowth(script, httpPeer, rawWindow, options);
    if (options.Wants("http")) FigureHttp(script, httpPeer, options);
    if (options.Wants("forged")) FigureForged(rawWindow, options);

    std::printf("\n| figure | add-in | baseline | ratio | floor | goal |\n|---|---|---|---|---|---|\n");
    for (const Row& row : g_rows) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", row.figure.c_str(), row.addin.c_str(), row.baseline.c_str(),
                    row.ratio.c_str(), row.floor.c_str(), row.goal.c_str());
    }
    if (options.quick) std::printf("(--quick: tiny counts, the numbers mean nothing)\n");
    std::fflush(stdout);
    // The peers' threads are still blocked in their sockets; the process takes them down.
    ::ExitProcess(g_failed ? 1 : 0);
}
