// Feeds arbitrary reply bodies to the walk that picks the answer out of a game-platform reply. The
// sanitizers catch any read outside the body; the checks below catch an answer that did not come
// from the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Copy into a block of exactly the body's size so that one byte past the end is a heap overflow.
    std::vector<unsigned char> body(data, data + size);
    const std::string answer = orvane::wire::FindValueAfterKey("games", body);
    if (answer.size() > body.size()) std::abort();
    if (!answer.empty()) {
        const std::string whole(body.begin(), body.end());
        if (whole.find(answer) == std::string::npos) std::abort();
        if (whole.find("games") == std::string::npos) std::abort();
    }
    if (size >= orvane::wire::kHeaderSize) {
        orvane::wire::Header header{};
        for (std::size_t i = 0; i < header.size(); ++i) header[i] = data[i];
        (void)orvane::wire::ReplyBodyLength(header);
    }
    return 0;
}
