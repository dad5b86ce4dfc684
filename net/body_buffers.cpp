#include "net/body_buffers.hpp"

#include <algorithm>
#include <utility>

namespace orvane {

std::span<unsigned char> BodyBuffers::Next(std::size_t rest, bool onlyCounted, ReceiveChunks& chunks) {
    chunks_ = &chunks;
    if (steady_ && capacity_ < kLarge && rest > capacity_ && !onlyCounted) TakeLarge();
    if (!current_) {
        const std::size_t first = std::min(rest, kFirst);
        if (!share_.Grow(first)) return {};
        capacity_ = first;
        current_.reset(new unsigned char[capacity_]);
    }
    return {current_.get(), capacity_};
}

void BodyBuffers::Received(std::size_t got, std::size_t asked) noexcept {
    if (got == asked && asked >= kFirst / 2) steady_ = true;
}

// A budget with no room for the large chunk leaves the exchange on its small buffer.
void BodyBuffers::TakeLarge() noexcept {
    if (!share_.GrowIfFree(kLarge)) return;
    std::unique_ptr<unsigned char[]> large = chunks_->Take();
    if (!large) return share_.Shrink(kLarge);
    current_ = std::move(large);
    share_.Shrink(capacity_);
    capacity_ = kLarge;
}

bool BodyBuffers::SwapForReadAhead() noexcept {
    if (capacity_ != kLarge) return false;
    if (!ahead_) {
        if (!share_.GrowIfFree(kLarge)) return false;
        ahead_ = chunks_->Take();
        if (!ahead_) {
            share_.Shrink(kLarge);
            return false;
        }
    }
    std::swap(current_, ahead_);
    return true;
}

void BodyBuffers::GiveBack() noexcept {
    if (capacity_ == kLarge) chunks_->Give(std::move(current_));
    current_.reset();
    share_.Shrink(capacity_);
    capacity_ = 0;
    if (ahead_) {
        chunks_->Give(std::move(ahead_));
        share_.Shrink(kLarge);
    }
}

}  // namespace orvane
