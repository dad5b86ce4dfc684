#include "net/answer_buffer_sink.hpp"

#include <algorithm>
#include <utility>

namespace orvane::wire {

AnswerBufferSink::~AnswerBufferSink() {
    GiveWholeSlotBack();
    if (share_ != nullptr) share_->Shrink(held_);
}

void AnswerBufferSink::GiveWholeSlotBack() noexcept {
    if (std::exchange(holdsWhole_, false)) --whole_->held;
}

bool AnswerBufferSink::TakeWholeSlot() noexcept {
    if (!fast_) return false;
    if (holdsWhole_ || whole_ == nullptr) return true;
    if (whole_->held >= whole_->most) return false;
    ++whole_->held;
    holdsWhole_ = true;
    return true;
}

// A server that declares a long answer and then stalls must not hold the host to 16 MiB it never
// sent, so the buffer past the first piece is made as the bytes come, unless it proved fast.
std::optional<Failure> AnswerBufferSink::Open(std::size_t length) noexcept {
    length_ = length;
    const bool whole = length > kAnswerReservedUpFront && TakeWholeSlot();
    return MoveAnswerInto(whole ? length : std::min(length, kAnswerReservedUpFront), whole);
}

// The buffer doubles as the answer grows, as any string's does, but never past the declared length:
// the string's own growth would leave a 16 MiB answer in 17 MiB until the script takes it. Once the
// server has proved fast, the buffer is the whole length at once, so a long answer moves once, while
// it is short.
std::optional<Failure> AnswerBufferSink::Append(std::span<const unsigned char> bytes) noexcept {
    const std::size_t needed = answer_.Size() + bytes.size();
    if (needed > answer_.Capacity()) {
        // A failed move leaves the buffer as it was, and the parse ends.
        const std::optional<Failure> refused =
            TakeWholeSlot() ? MoveAnswerInto(length_, true)
                            : MoveAnswerInto(std::min(std::max(needed, 2 * answer_.Capacity()), length_), false);
        if (refused) return refused;
    }
    answer_.Append(bytes);
    return std::nullopt;
}

// A fresh buffer is made, or a kept one taken, and what came so far moved into it. Both buffers exist
// for a moment, so both are held of the share until the old one is gone. A kept buffer brings its own
// share.
std::optional<Failure> AnswerBufferSink::MoveAnswerInto(std::size_t capacity, bool whole) noexcept {
    const std::size_t old = held_;
    AnswerBuffer buffer;
    if (whole && kept_ != nullptr && share_ != nullptr) buffer = kept_(capacity);
    if (buffer) {
        held_ += buffer.Share().Held();
        share_->Absorb(std::move(buffer.Share()));
    } else {
        if (share_ != nullptr) {
            if (!share_->Grow(capacity)) return Failure::OverBudget;
            held_ += capacity;
        }
        buffer = AnswerBuffer::Make(capacity);
        if (!buffer) return Failure::NoMemory;
    }
    buffer.Append({reinterpret_cast<const unsigned char*>(answer_.Bytes().data()), answer_.Size()});
    answer_ = std::move(buffer);
    if (share_ != nullptr) {
        share_->Shrink(old);
        held_ -= old;
    }
    return std::nullopt;
}

std::string AnswerBufferSink::TakeText() {
    std::string text(answer_.Bytes());
    held_ = 0;
    answer_ = AnswerBuffer();
    return text;
}

AnswerBuffer AnswerBufferSink::TakeBuffer() noexcept {
    if (share_ != nullptr) answer_.Share() = share_->Split(held_);
    held_ = 0;
    answer_.Scan();
    return std::move(answer_);
}

}  // namespace orvane::wire
