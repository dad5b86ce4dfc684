// The large receive buffers of long game-platform replies. A reply that stalls after its first piece
// keeps its buffers until its server closes or its idle limit of minutes passes, so only a
// few exist at once, the two kept for the next long reply counted: exchanges beyond them go on with
// their small first buffer. Loop thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace orvane {

class ReceiveChunks {
public:
    static constexpr std::size_t kSize = std::size_t{1024} * 1024;
    static constexpr int kMost = 8;

    // A buffer of kSize, or nothing when kMost are out or memory is short.
    std::unique_ptr<unsigned char[]> Take() noexcept {
        // Fresh pages cost more on first touch than the bytes received into them, so buffers given
        // back are kept for the next long reply, which receives into one while it parses the other.
        for (std::unique_ptr<unsigned char[]>& spare : spare_) {
            if (spare) return std::move(spare);
        }
        if (made_ >= kMost) return nullptr;
        std::unique_ptr<unsigned char[]> fresh(new (std::nothrow) unsigned char[kSize]);
        if (fresh) ++made_;
        return fresh;
    }

    void Give(std::unique_ptr<unsigned char[]> chunk) noexcept {
        if (!chunk) return;
        for (std::unique_ptr<unsigned char[]>& spare : spare_) {
            if (!spare) {
                spare = std::move(chunk);
                return;
            }
        }
        --made_;  // freed here
    }

private:
    std::unique_ptr<unsigned char[]> spare_[2];
    int made_ = 0;
};

}  // namespace orvane
