// Where a game-platform body's bytes are received when they are not the answer's, to be parsed piece
// by piece. A first buffer of the body's length up to kFirst is all that a server that sends a little
// and then stalls ever holds, and there may be thousands of those. Once the server has filled a
// receive it sends faster than the loop takes the bytes, and the rest comes through a large chunk of
// the loop's, since each receive is dear under Wine. A second large chunk takes the next piece while
// the first is parsed. Every byte of them is taken from the exchange's share of the answers' budget.
// Free of the platform, so tested natively.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "common/answer_budget.hpp"
#include "net/receive_chunks.hpp"

namespace orvane {

class BodyBuffers {
public:
    static constexpr std::size_t kFirst = std::size_t{64} * 1024;
    static constexpr std::size_t kLarge = ReceiveChunks::kSize;

    explicit BodyBuffers(BudgetShare& share) noexcept : share_(share) {}
    ~BodyBuffers() { GiveBack(); }
    BodyBuffers(const BodyBuffers&) = delete;
    BodyBuffers& operator=(const BodyBuffers&) = delete;

    // The buffer the next receive goes into, with `rest` bytes of the body still to come; large once
    // the server has proved steady, unless what comes is only counted (`onlyCounted`), which a small
    // buffer does as well. Empty when the budget has no room for the first buffer. The chunks come
    // from `chunks`, the loop's, and go back there.
    std::span<unsigned char> Next(std::size_t rest, bool onlyCounted, ReceiveChunks& chunks);
    // A receive asked for `asked` bytes and brought `got`: a full one, and not a short one, proves the
    // server steady.
    void Received(std::size_t got, std::size_t asked) noexcept;
    // Where the buffer is a large chunk and a second is to be had within the budget, the two swap: the
    // piece just received is then Ahead()'s, and Next's buffer is free for the next receive. False,
    // with nothing changed, otherwise.
    bool SwapForReadAhead() noexcept;
    const unsigned char* Current() const noexcept { return current_.get(); }
    const unsigned char* Ahead() const noexcept { return ahead_.get(); }
    // Everything goes back: the chunks to the loop, their bytes to the budget. Only with no receive
    // into them under way.
    void GiveBack() noexcept;

private:
    void TakeLarge() noexcept;

    BudgetShare& share_;
    ReceiveChunks* chunks_ = nullptr;  // the loop's, from the first buffer on
    std::unique_ptr<unsigned char[]> current_;
    std::size_t capacity_ = 0;
    std::unique_ptr<unsigned char[]> ahead_;  // of kLarge, while one piece is parsed and the next comes
    bool steady_ = false;
};

}  // namespace orvane
