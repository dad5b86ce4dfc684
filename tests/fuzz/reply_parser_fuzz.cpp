// Feeds arbitrary reply bodies to the parser that picks the answer out of a game-platform reply, whole
// and in pieces cut where the input's first byte says, and checks both against a plain parse of the
// whole body written here the simplest way. The sanitizers catch any read outside the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/answer_buffer_sink.hpp"
#include "net/reply_parser.hpp"
#include "net/wire.hpp"
#include "tests/support/whole_body.hpp"

namespace {

std::optional<std::string_view> ItemAt(std::span<const unsigned char> body, std::size_t p) {
    if (body.size() < p || body.size() - p < 4) return std::nullopt;
    const std::size_t length = (std::size_t{body[p]} << 24) | (std::size_t{body[p + 1]} << 16) |
                               (std::size_t{body[p + 2]} << 8) | std::size_t{body[p + 3]};
    if (body.size() - p - 4 < length) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(body.data() + p + 4), length);
}

std::string ReferenceParse(std::string_view key, std::span<const unsigned char> body) {
    std::size_t p = 0;
    while (p < body.size()) {
        const std::optional<std::string_view> item = ItemAt(body, p);
        if (!item) return {};
        p += 4 + item->size();
        if (*item == key) {
            const std::optional<std::string_view> value = ItemAt(body, p);
            return value ? std::string(*value) : std::string();
        }
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned cutSeed = data[0];
    // Copy into a block of exactly the body's size so that one byte past the end is a heap overflow.
    const std::vector<unsigned char> body(data + 1, data + size);
    const std::string expected = ReferenceParse("games", body);

    if (orvane::wire::FindValueAfterKey("games", body) != expected) std::abort();

    // Pieces of 1 to 16 bytes in a pattern the first byte picks, each in a block of its own size.
    orvane::wire::AnswerBufferSink sink;
    orvane::wire::ReplyParser parser("games", body.size(), sink);
    std::size_t at = 0;
    unsigned state = cutSeed | 1u;
    while (at < body.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>((state >> 16) % 16 + 1, body.size() - at);
        const std::vector<unsigned char> copy(body.begin() + static_cast<std::ptrdiff_t>(at),
                                              body.begin() + static_cast<std::ptrdiff_t>(at + piece));
        parser.Feed(copy);
        at += piece;
    }
    if (parser.TakeAnswer() != expected) std::abort();

    if (!expected.empty()) {
        const std::string whole(body.begin(), body.end());
        if (whole.find(expected) == std::string::npos || whole.find("games") == std::string::npos) std::abort();
    }
    if (size > orvane::wire::kHeaderSize) {
        orvane::wire::Header header{};
        for (std::size_t i = 0; i < header.size(); ++i) header[i] = data[1 + i];
        (void)orvane::wire::ReplyBodyLength(header);
    }
    return 0;
}
