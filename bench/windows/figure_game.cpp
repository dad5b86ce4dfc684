// orvane_bench game: GetActiveGame with a 16 MiB body.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "bench/loopback_peers.hpp"
#include "bench/windows/shared.hpp"
#include "common/win_handles.hpp"
#include "net/wire.hpp"

namespace orvane::bench {

namespace {

std::string Item(std::string_view bytes) { return wire::EncodeItem(bytes); }

// A body of exactly `size` bytes whose "games" value is `answer`, padded in front by one item.
std::string BodyWithAnswer(std::size_t size, std::string_view answer) {
    const std::string tail = Item("games") + Item(answer);
    return Item(std::string(size - tail.size() - 4, 'p')) + tail;
}

// A body of exactly `size` bytes of 12-byte items, the key and its answer last.
std::string SmallItemsThenAnswer(std::size_t size, std::string_view answer) {
    const std::string tail = Item("games") + Item(answer);
    const std::string filler = Item("12345678");
    std::string body;
    body.reserve(size);
    // Room is kept for the length field of the padding item that makes the size exact.
    while (body.size() + filler.size() + tail.size() + 4 <= size) body += filler;
    return body + Item(std::string(size - body.size() - tail.size() - 4, 'p')) + tail;
}

// A raw loopback client: the same request, then the reply received into a buffer made beforehand.
bool RawGameExchange(const std::string& request, std::vector<char>& buffer, std::size_t expected) {
    UniqueSocket s(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in to = Loopback(wire::kGamePort);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return false;
    if (::send(s.get(), request.data(), static_cast<int>(request.size()), 0) != static_cast<int>(request.size())) {
        return false;
    }
    std::size_t have = 0;
    while (have < expected) {
        const int got = ::recv(s.get(), buffer.data() + have, static_cast<int>(expected - have), 0);
        if (got <= 0) break;
        have += static_cast<std::size_t>(got);
    }
    return have == expected;
}

// The floor of a short exchange: the raw exchange on a thread that waits for work, and the message
// that brings its end to the script thread, the two hops any asynchronous call takes.
// Its thread ends with it, before the event and what it points at go.
struct RawGameWorker {
    HWND window = nullptr;
    const std::string* request = nullptr;
    std::vector<char>* buffer = nullptr;
    std::size_t expected = 0;
    bool ok = false;
    std::atomic<bool> stop{false};  // a round that timed out may leave the worker running as it is set
    UniqueKernelHandle work{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueKernelHandle thread;

    RawGameWorker() = default;
    RawGameWorker(const RawGameWorker&) = delete;
    RawGameWorker& operator=(const RawGameWorker&) = delete;
    ~RawGameWorker() {
        if (!thread) return;
        stop = true;
        ::SetEvent(work.get());
        ::WaitForSingleObject(thread.get(), INFINITE);
    }
    void Start() { thread.reset(::CreateThread(nullptr, 0, &Run, this, 0, nullptr)); }

    static DWORD WINAPI Run(void* self) {
        auto* worker = static_cast<RawGameWorker*>(self);
        for (;;) {
            ::WaitForSingleObject(worker->work.get(), INFINITE);
            if (worker->stop) return 0;
            worker->ok = RawGameExchange(*worker->request, *worker->buffer, worker->expected);
            ::PostMessageW(worker->window, kRawDone, 0, 0);
        }
    }
};

}  // namespace

void FigureGame(const Script& script, GamePeer& peer, HWND rawWindow, const Options& options) {
    const lua_CFunction getActiveGame = MethodNamed("GetActiveGame");
    const std::string body = wire::ActiveGameRequestBody("bench", "x");
    const wire::Header header = wire::RequestHeader(wire::kActiveGameRequest, static_cast<std::uint32_t>(body.size()));
    const std::string request = std::string(reinterpret_cast<const char*>(header.data()), header.size()) + body;
    const int rounds = options.quick ? 1 : 9;
    constexpr std::size_t kBody = wire::kMaxReplyBody;
    // What the floor of each figure adds to the raw side: nothing where the raw side is the floor.
    enum class Floor { Raw, PushAnswer, TwoHops };
    struct Variant {
        const char* name;
        const char* label;
        std::string body;
        std::size_t answerSize;
        Floor floor;
        const char* goal;
    };
    const Variant variants[] = {
        {"one 16 MiB item, then a short answer", "GetActiveGame, 16 MiB body: one long item, short answer",
         BodyWithAnswer(kBody, "ok"), 2, Floor::Raw, ">= 0.7x"},
        {"16 MiB of 12-byte items, then a short answer", "GetActiveGame, 16 MiB body: 12-byte items, short answer",
         SmallItemsThenAnswer(kBody, "ok"), 2, Floor::Raw, ">= 0.9x"},
        {"the answer is the 16 MiB body's one item after the key", "GetActiveGame, 16 MiB body: 16 MiB answer",
         BodyWithAnswer(kBody, std::string(kBody - 4 - 9 - 4, 'a')), kBody - 4 - 9 - 4, Floor::PushAnswer,
         "<= 1.15x the floor's time"},
        // What every exchange costs beyond its bytes: thread, name lookup, connection, delivery.
        {"a 15-byte body", "GetActiveGame, 15-byte body (the cost of an exchange itself)", Item("games") + Item("ok"),
         2, Floor::TwoHops, "<= 1.4x the raw time"},
    };
    std::vector<char> buffer(kBody + wire::kHeaderSize);
    lua_State* L = script.state();
    RawGameWorker worker;
    worker.window = rawWindow;
    worker.request = &request;
    worker.buffer = &buffer;
    worker.Start();
    for (const Variant& variant : variants) {
        peer.SetReply(variant.body);
        const std::size_t replyBytes = peer.ReplySize();
        worker.expected = replyBytes;
        const bool small = replyBytes < 1024;
        // Each side's Lua string is a fresh one: the last is collected first, outside the time.
        auto addinOp = [&] {
            lua_gc(L, LUA_GCCOLLECT, 0);
            const long target = g_callbacks.calls + 1;
            const double start = NowMs();
            script.Ask(getActiveGame, "bench", "x");
            const bool answered = PumpUntil([&] { return g_callbacks.calls >= target; }, 30000);
            return answered && g_callbacks.lastLength == variant.answerSize ? NowMs() - start : -1.0;
        };
        auto rawOp = [&] {
            const double start = NowMs();
            return RawGameExchange(request, buffer, replyBytes) ? NowMs() - start : -1.0;
        };
        auto floorOp = [&] {
            lua_gc(L, LUA_GCCOLLECT, 0);
            const double start = NowMs();
            if (variant.floor == Floor::TwoHops) {
                const long target = g_rawDone + 1;
                ::SetEvent(worker.work.get());
                if (!PumpUntil([&] { return g_rawDone >= target; }, 30000) || !worker.ok) return -1.0;
                return NowMs() - start;
            }
            if (!RawGameExchange(request, buffer, replyBytes)) return -1.0;
            // The answer is the body's last item: one string of it, made as the callback's is.
            lua_pushlstring(L, buffer.data() + replyBytes - variant.answerSize, variant.answerSize);
            lua_pop(L, 1);
            return NowMs() - start;
        };
        const bool withFloor = variant.floor != Floor::Raw;
        (void)addinOp();
        (void)rawOp();
        if (withFloor) (void)floorOp();
        std::vector<double> addinMs, rawMs, floorMs, ratios, floorRatios;
        // A short exchange takes about a millisecond, which one wake-up of a sleeping processor can
        // double: each round's figure is the mean of many, so that the median is of rounds, not of luck.
        const int repeats = small && !options.quick ? 50 : 1;
        const auto mean = [repeats](auto op) {
            double sum = 0;
            for (int i = 0; i < repeats; ++i) {
                const double ms = op();
                if (ms < 0) return -1.0;
                sum += ms;
            }
            return sum / repeats;
        };
        for (int r = 0; r < rounds; ++r) {
            // Each side goes first in turn, so that drift in the machine's speed falls on all alike.
            double a = 0, b = 0, f = 0;
            for (int turn = 0; turn < 3; ++turn) {
                switch ((r + turn) % 3) {
                    case 0: a = mean(addinOp); break;
                    case 1: b = mean(rawOp); break;
                    default: f = withFloor ? mean(floorOp) : b; break;
                }
            }
            if (!withFloor) f = b;
            if (a < 0 || b < 0 || f < 0) {
                std::printf("game: an exchange failed or answered the wrong text (%s)\n", variant.name);
                g_failed = true;
                return;
            }
            addinMs.push_back(a);
            rawMs.push_back(b);
            floorMs.push_back(f);
            ratios.push_back(a / b);  // time: the inverse of throughput
            floorRatios.push_back(a / f);
        }
        const double mib = static_cast<double>(replyBytes) / (1024.0 * 1024.0);
        const double toRaw = Median(ratios);
        const double toFloor = Median(floorRatios);
        std::string floorText = "the raw side";
        if (variant.floor == Floor::PushAnswer) {
            floorText = Fixed(Median(floorMs), 1, " ms") +
                        " (raw + one lua_pushlstring of the answer): " + Fixed(toFloor, 3, "x the time");
        } else if (variant.floor == Floor::TwoHops) {
            floorText = Fixed(Median(floorMs), 2, " ms") +
                        " (raw on a waiting thread + one posted message): " + Fixed(toFloor, 3, "x the time");
        }
        if (small) {
            std::printf(
                "game: %s: GetActiveGame %.2f ms vs raw exchange %.2f ms vs floor %.2f ms (median of %d rounds of "
                "%d): %.3fx the raw time, %.3fx the floor's\n",
                variant.name, Median(addinMs), Median(rawMs), Median(floorMs), rounds, repeats, toRaw, toFloor);
            g_rows.push_back({variant.label, Fixed(Median(addinMs), 2, " ms"), Fixed(Median(rawMs), 2, " ms"),
                              Fixed(toRaw, 3, "x the time"), variant.goal, floorText});
            continue;
        }
        std::printf(
            "game: %s: GetActiveGame %.1f ms (%.0f MiB/s) vs raw recv loop %.1f ms (%.0f MiB/s) vs floor %.1f ms "
            "(median of %d): throughput %.3fx the raw loop's, time %.3fx the floor's\n",
            variant.name, Median(addinMs), mib * 1000.0 / Median(addinMs), Median(rawMs), mib * 1000.0 / Median(rawMs),
            Median(floorMs), rounds, 1.0 / toRaw, toFloor);
        g_rows.push_back({variant.label, Fixed(mib * 1000.0 / Median(addinMs), 0, " MiB/s"),
                          Fixed(mib * 1000.0 / Median(rawMs), 0, " MiB/s"), Fixed(1.0 / toRaw, 3, "x"), variant.goal,
                          floorText});
    }
    peer.SetReply(Item("games") + Item("ok"));
}

}  // namespace orvane::bench
