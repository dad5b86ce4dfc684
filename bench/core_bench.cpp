// The platform-free core, natively: each figure next to the least work that produces the same bytes,
// measured in the same run and printed as a ratio. Build it optimised (the native-release preset);
// under the sanitizers of the native preset it only shows that it runs.
//
//   orvane_core_bench [--quick]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "net/wire.hpp"
#include "tests/support/whole_body.hpp"

namespace {

namespace wire = orvane::wire;

double NowNs() {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

// Keeps the compiler from dropping work whose result nobody reads.
volatile std::size_t g_sink = 0;

template <class Candidate, class Baseline>
void Compare(const char* figure, int rounds, int n, Candidate candidate, Baseline baseline) {
    std::vector<double> a, b, ratios;
    for (int r = 0; r < rounds; ++r) {
        auto time = [n](auto& f) {
            const double start = NowNs();
            for (int i = 0; i < n; ++i) f();
            return (NowNs() - start) / static_cast<double>(n);
        };
        // Alternate who goes first so that drift in the machine's speed falls on both alike.
        double ta = 0;
        double tb = 0;
        if (r % 2 == 0) {
            ta = time(candidate);
            tb = time(baseline);
        } else {
            tb = time(baseline);
            ta = time(candidate);
        }
        a.push_back(ta);
        b.push_back(tb);
        ratios.push_back(ta / tb);
    }
    std::printf("| %s | %.1f ns | %.1f ns | %.3fx |\n", figure, Median(a), Median(b), Median(ratios));
}

std::uint32_t BigEndianAt(const unsigned char* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
           std::uint32_t{at[3]};
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int rounds = quick ? 1 : 11;
    std::printf("| figure | core | least work | ratio |\n|---|---|---|---|\n");

    // The reply parser over a 16 MiB body of small items with the answer at the very end, against a
    // hop from length to length that checks nothing: what the bounds checks and compares cost.
    {
        const std::size_t size = quick ? (1u << 16) : wire::kMaxReplyBody;
        std::string bytes;
        const std::string filler = wire::EncodeItem("12345678");
        const std::string tail = wire::EncodeItem("games") + wire::EncodeItem("ok");
        while (bytes.size() + filler.size() + tail.size() <= size) bytes += filler;
        bytes += tail;
        const std::vector<unsigned char> body(bytes.begin(), bytes.end());
        auto parse = [&] { g_sink = g_sink + wire::FindValueAfterKey("games", body).size(); };
        auto hop = [&] {
            std::size_t p = 0;
            std::size_t found = 0;
            while (p + 4 <= body.size()) {
                const std::size_t k = BigEndianAt(body.data() + p);
                if (k == 5 && std::memcmp(body.data() + p + 4, "games", 5) == 0) {
                    found = BigEndianAt(body.data() + p + 9);
                    break;
                }
                p += 4 + k;
            }
            g_sink = g_sink + found;
        };
        char figure[96];
        (void)std::snprintf(figure, sizeof figure, "reply parser, %zu KiB of 12-byte items (per parse)",
                            body.size() / 1024);
        Compare(figure, rounds, quick ? 2 : 20, parse, hop);
    }

    // The request body of GetActiveGame against copying the same bytes into a buffer of the stack.
    {
        const std::string name = "player-0123456789";
        const std::string type = "platform";
        auto build = [&] { g_sink = g_sink + wire::ActiveGameRequestBody(name, type).size(); };
        auto copy = [&] {
            unsigned char buffer[128];
            unsigned char* at = buffer;
            auto put = [&at](std::string_view text) {
                const auto k = static_cast<std::uint32_t>(text.size());
                const unsigned char length[4] = {static_cast<unsigned char>(k >> 24),
                                                 static_cast<unsigned char>(k >> 16),
                                                 static_cast<unsigned char>(k >> 8), static_cast<unsigned char>(k)};
                std::memcpy(at, length, 4);
                std::memcpy(at + 4, text.data(), text.size());
                at += 4 + text.size();
            };
            put("name");
            put(name);
            put("type");
            put(type);
            g_sink = g_sink + static_cast<std::size_t>(at - buffer) + buffer[20];
        };
        Compare("request body of GetActiveGame (per request)", rounds, quick ? 100 : 2000000, build, copy);
    }

    // The tips request datagram against copying the same bytes into a buffer of the stack.
    {
        const std::string pid = "1234567";
        const std::string cid = "89";
        auto build = [&] { g_sink = g_sink + wire::TipsRequestDatagram(pid, cid).size(); };
        auto copy = [&] {
            char buffer[128];
            char* at = buffer;
            auto put = [&at](std::string_view text) {
                std::memcpy(at, text.data(), text.size());
                at += text.size();
            };
            put("request=tips&pid=");
            put(pid);
            put("&cid=");
            put(cid);
            *at++ = '\0';
            g_sink = g_sink + static_cast<std::size_t>(at - buffer) + static_cast<std::size_t>(buffer[20]);
        };
        Compare("tips request datagram (per request)", rounds, quick ? 100 : 2000000, build, copy);
    }
    if (quick) std::printf("(--quick: tiny counts, the numbers mean nothing)\n");
    return 0;
}
