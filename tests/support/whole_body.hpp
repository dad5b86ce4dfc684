// The reply walk over a body held whole, as the tests, the fuzzer and the core benchmark hold their
// bodies; the product only ever walks a body piece by piece as it arrives.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "net/wire.hpp"

namespace orvane::wire {

// The item that follows the first item equal to key, or the empty text; the walk of a body that
// arrives in one piece.
inline std::string FindValueAfterKey(std::string_view key, std::span<const unsigned char> body) {
    ReplyWalk walk(key, body.size());
    walk.Feed(body);
    return walk.TakeAnswer();
}

}  // namespace orvane::wire
