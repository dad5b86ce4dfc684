// The parser of a game-platform reply body, kept free of sockets so that it is tested and fuzzed
// natively: it finds the answer among the body's items and hands its bytes to a sink (answer_sink.hpp),
// which decides where they go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/answer_buffer.hpp"
#include "common/failure.hpp"
#include "net/answer_sink.hpp"

namespace orvane::wire {

// The item that follows the first item equal to key (exact bytes), or the empty text. Every item is
// compared, whatever its position. The parser never reads outside the body: an item whose length runs
// past the end, or a key item with nothing complete after it, ends the parse with the empty text. The
// body may arrive in pieces of any size, so that a long reply never has to be held whole: only the
// bytes of an item of the key's length are kept, and the answer's go to the sink.
class ReplyParser {
public:
    // The key and the sink are borrowed for as long as the parser is fed or asked: every exchange in
    // flight holds a parser, so it holds no copy of the key.
    ReplyParser(std::string_view key, std::uint64_t bodyLength, AnswerSink& sink);
    ~ReplyParser() = default;
    ReplyParser(const ReplyParser&) = delete;
    ReplyParser& operator=(const ReplyParser&) = delete;

    // The next bytes of the body; bytes beyond its declared length are ignored.
    void Feed(std::span<const unsigned char> bytes);
    // Where the next bytes of the body may be received straight into, since they are the answer's:
    // the free part of its buffer, no longer than what is left of it. Empty elsewhere in the body, and
    // while the buffer is full.
    std::span<unsigned char> AnswerTail() noexcept;
    // That many bytes were received into AnswerTail, and are parsed so.
    void Received(std::size_t count) noexcept;
    // Looks for the answer's first zero byte in what came since the last look; done at the latest
    // when the answer is taken.
    void ScanAnswer() noexcept { sink_->Scan(); }
    // True once more bytes cannot change the answer (found, or failed).
    bool Decided() const { return phase_ == Phase::Found || phase_ == Phase::Failed; }
    // True while the next bytes of the body are the answer's.
    bool InAnswer() const { return phase_ == Phase::Answer; }
    // True once the parser cannot find an answer, whatever follows.
    bool Failed() const { return phase_ == Phase::Failed; }
    // Why it failed: no key item with an answer after it (KeyMissing), an item that runs past the
    // body's end or a key with no whole item after it (ReplyMalformed), or whatever the sink gave for
    // the buffer it could not make (OverBudget, NoMemory).
    Failure Why() const { return why_; }
    // The answer once the whole body has been fed; the empty text before, and after any failure.
    std::string TakeAnswer();
    // The same answer in its buffer, as the sink hands it on; an empty buffer when there is none, or the
    // answer is the empty text.
    AnswerBuffer TakeBuffer() noexcept;

private:
    enum class Phase : std::uint8_t { ItemLength, Item, AnswerLength, Answer, Found, Failed };

    std::size_t StepOverWholeItems(std::span<const unsigned char> bytes);
    void StartLength(Phase next);
    void LengthComplete();
    void Decide(Phase outcome) noexcept;
    void Fail(Failure why) noexcept;
    bool Answered() const noexcept { return phase_ == Phase::Found && unread_ == 0; }

    // The small members last, side by side, so that the parser an exchange holds has no padding.
    std::string_view key_;
    std::uint64_t unread_;  // body bytes not fed yet
    std::size_t lengthHave_ = 0;
    std::size_t itemLeft_ = 0;  // bytes of the current item still to come
    std::size_t itemSeen_ = 0;  // bytes of the current item compared with the key so far
    AnswerSink* sink_;
    Phase phase_ = Phase::ItemLength;
    Failure why_ = Failure::KeyMissing;
    bool itemMayBeKey_ = false;
    unsigned char length_[4] = {};
};

}  // namespace orvane::wire
