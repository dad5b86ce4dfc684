// The reply parser over a body held whole, as the tests, the fuzzer and the core benchmark hold their
// bodies, and the bytes such bodies are written with; the product only ever parses a body piece by
// piece as it arrives.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "net/answer_buffer_sink.hpp"
#include "net/reply_parser.hpp"
#include "net/wire.hpp"

namespace orvane::wire {

// The item that follows the first item equal to key, or the empty text; the parse of a body that
// arrives in one piece.
inline std::string FindValueAfterKey(std::string_view key, std::span<const unsigned char> body) {
    AnswerBufferSink sink;
    ReplyParser parser(key, body.size(), sink);
    parser.Feed(body);
    return parser.TakeAnswer();
}

// Bytes of the given values, each one byte.
inline std::string Bytes(std::initializer_list<unsigned> values) {
    std::string out;
    for (unsigned v : values) out.push_back(static_cast<char>(v));
    return out;
}

inline std::span<const unsigned char> AsBody(const std::string& bytes) {
    return {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
}

// The items one after the other, as a body holds them.
inline std::string Items(std::initializer_list<std::string_view> items) {
    std::string out;
    for (auto item : items) out += EncodeItem(item);
    return out;
}

}  // namespace orvane::wire
