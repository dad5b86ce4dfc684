// The bytes of one game-platform answer, from the buffer the reply parser makes for it to the script's
// callback, with the share of the budget of answers that pays for the buffer. The bytes are received
// into its tail where the reply allows, so a long answer is copied once, by the kernel, before Lua
// makes its string. Used on one thread at a time, like its share. Kept free of the platform so that it
// is tested and fuzzed natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "common/answer_budget.hpp"
#include "common/fault_points.hpp"
#include "common/first_zero.hpp"

namespace orvane {

class AnswerBuffer {
public:
    // Whoever keeps buffers for the next long answer: it may move the buffer away, and what it leaves
    // is freed. Any thread.
    using Keeper = void (*)(AnswerBuffer&& buffer) noexcept;

    AnswerBuffer() noexcept = default;
    AnswerBuffer(AnswerBuffer&& other) noexcept { *this = std::move(other); }
    AnswerBuffer& operator=(AnswerBuffer&& other) noexcept {
        if (this != &other) {
            GiveBack();
            bytes_ = std::move(other.bytes_);
            capacity_ = std::exchange(other.capacity_, 0);
            size_ = std::exchange(other.size_, 0);
            text_ = std::exchange(other.text_, 0);
            scanned_ = std::exchange(other.scanned_, 0);
            share_ = std::move(other.share_);
            keeper_ = std::exchange(other.keeper_, nullptr);
        }
        return *this;
    }
    AnswerBuffer(const AnswerBuffer&) = delete;
    AnswerBuffer& operator=(const AnswerBuffer&) = delete;
    ~AnswerBuffer() { GiveBack(); }

    // A buffer of capacity bytes, empty when memory is short. The share pays for it and goes with it.
    static AnswerBuffer Make(std::size_t capacity, BudgetShare share = {}) noexcept {
        AnswerBuffer buffer;
        if (capacity >= UINT32_MAX || FaultHere(FaultKind::AnswerBuffer)) return buffer;  // past any answer's bound
        // One byte more than the answer's, a zero after its last, for a runtime that takes texts
        // only up to their zero byte.
        buffer.bytes_.reset(new (std::nothrow) unsigned char[capacity + 1]);
        if (buffer.bytes_) {
            buffer.bytes_[0] = 0;
            buffer.capacity_ = static_cast<std::uint32_t>(capacity);
            buffer.share_ = std::move(share);
        }
        return buffer;
    }

    explicit operator bool() const noexcept { return bytes_ != nullptr; }
    std::size_t Size() const noexcept { return size_; }
    std::size_t Capacity() const noexcept { return capacity_; }
    std::string_view Bytes() const noexcept { return {reinterpret_cast<const char*>(bytes_.get()), size_}; }
    // What a script sees: the answer up to its first zero byte, as the host's strings end there, of
    // the bytes scanned so far. A zero byte always follows it.
    std::string_view Text() const noexcept { return Bytes().substr(0, text_); }

    // Where the next bytes go.
    std::span<unsigned char> Tail() noexcept { return {bytes_.get() + size_, capacity_ - size_}; }
    // count bytes were written at the tail.
    void Grew(std::size_t count) noexcept {
        size_ += static_cast<std::uint32_t>(count);
        bytes_[size_] = 0;
    }
    // Looks for the first zero byte in the bytes written since the last look, while they are fresh
    // in the cache, so the whole answer is never scanned again.
    void Scan() noexcept {
        if (!bytes_ || text_ < scanned_ || scanned_ == size_) return;  // a zero byte seen, or nothing new
        text_ = scanned_ + static_cast<std::uint32_t>(FirstZero(bytes_.get() + scanned_, size_ - scanned_));
        scanned_ = size_;
    }
    void Append(std::span<const unsigned char> bytes) noexcept {
        if (bytes.empty()) return;
        std::memcpy(bytes_.get() + size_, bytes.data(), bytes.size());
        Grew(bytes.size());
    }
    // Empties it for another answer, its capacity and share kept.
    void Clear() noexcept {
        bytes_[0] = 0;
        size_ = 0;
        text_ = 0;
        scanned_ = 0;
    }

    BudgetShare& Share() noexcept { return share_; }
    void KeepWith(Keeper keeper) noexcept { keeper_ = keeper; }

private:
    void GiveBack() noexcept {
        if (bytes_ && keeper_ != nullptr) std::exchange(keeper_, nullptr)(std::move(*this));
    }

    BudgetShare share_;  // declared before the bytes, so that they go first and the sum never passes the bound
    std::unique_ptr<unsigned char[]> bytes_;
    // 32 bits are enough for any answer, and every request holds one of these.
    std::uint32_t capacity_ = 0;
    std::uint32_t size_ = 0;
    std::uint32_t text_ = 0;     // up to the first zero byte (then below scanned_), or all of it scanned
    std::uint32_t scanned_ = 0;  // bytes looked through for a zero byte
    Keeper keeper_ = nullptr;
};

}  // namespace orvane
