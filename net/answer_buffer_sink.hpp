// The buffer a game-platform answer is received into while its reply is parsed, and how that buffer
// grows: what is set aside up front, the growth after it, the whole buffer of a server that proved
// fast, kept buffers, and the share of the budget of answers they take. Kept free of the platform so
// that it is tested and fuzzed natively.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "common/answer_budget.hpp"
#include "common/answer_buffer.hpp"
#include "common/failure.hpp"
#include "net/answer_sink.hpp"

namespace orvane::wire {

// The most of an answer's declared length that is set aside before its bytes arrive; past it, the
// buffer grows with the bytes as any string does, until the server has proved fast.
inline constexpr std::size_t kAnswerReservedUpFront = std::size_t{64} * 1024;
// A piece this long, in one receive, proves the server fast: from then on the answer gets one buffer
// of its whole declared length. A server that trickles never sends one, and so holds only what it
// sent; one that sends one and trickles then holds one of the few whole buffers there are
// (WholeBuffers).
inline constexpr std::size_t kProvedFast = std::size_t{512} * 1024;

// How many answers may hold a buffer of their whole length while they fill. A server that has proved
// fast may still trickle from then on and keep its buffer until its idle limit, so only a few may hold
// one at once; past that, a buffer grows with the bytes as it does for a server not yet proved fast.
// Shared by the answers of one thread.
struct WholeBuffers {
    int most = 0;
    int held = 0;
};

class AnswerBufferSink final : public AnswerSink {
public:
    // A kept buffer of at least the bytes asked for, with its share, or none: a warm one costs no fresh
    // pages. Asked only once the server has proved fast.
    using KeptBuffers = AnswerBuffer (*)(std::size_t atLeast) noexcept;

    // With a share, the answer's buffer is taken from it before the buffer is made, and a buffer the
    // budget refuses fails the parse. The answer taken keeps what it holds of the share; what the sink
    // still holds goes back with the share. Without whole, any answer may hold a whole buffer.
    explicit AnswerBufferSink(BudgetShare* share = nullptr, KeptBuffers kept = nullptr,
                              WholeBuffers* whole = nullptr) noexcept
        : share_(share), kept_(kept), whole_(whole) {}
    ~AnswerBufferSink() override;
    AnswerBufferSink(const AnswerBufferSink&) = delete;
    AnswerBufferSink& operator=(const AnswerBufferSink&) = delete;

    void PieceCame(std::size_t bytes) noexcept override { fast_ = fast_ || bytes >= kProvedFast; }
    std::optional<Failure> Open(std::size_t length) noexcept override;
    std::optional<Failure> Append(std::span<const unsigned char> bytes) noexcept override;
    std::span<unsigned char> Tail() noexcept override { return answer_.Tail(); }
    void ReceivedIntoTail(std::size_t count) noexcept override {
        PieceCame(count);
        answer_.Grew(count);
    }
    void Scan() noexcept override { answer_.Scan(); }
    // The answer is whole, or there is none, so its buffer is no larger than what it holds.
    void Decided() noexcept override { GiveWholeSlotBack(); }
    // What the text holds stays in the share until the share goes.
    std::string TakeText() override;
    // What the buffer holds of the share goes with it.
    AnswerBuffer TakeBuffer() noexcept override;

private:
    bool TakeWholeSlot() noexcept;
    void GiveWholeSlotBack() noexcept;
    std::optional<Failure> MoveAnswerInto(std::size_t capacity, bool whole) noexcept;

    BudgetShare* share_;
    KeptBuffers kept_;
    WholeBuffers* whole_;
    std::size_t length_ = 0;  // the answer's, as its item says
    std::size_t held_ = 0;    // what answer_'s buffer holds of the share
    AnswerBuffer answer_;
    bool fast_ = false;        // a piece of kProvedFast or more has come
    bool holdsWhole_ = false;  // one of whole_'s
};

}  // namespace orvane::wire
