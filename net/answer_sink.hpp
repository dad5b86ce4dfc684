// Where the reply parser puts the answer's bytes. The parser knows the items, their lengths and which
// bytes are the answer's; the sink decides where those bytes go and how their buffer grows. It is asked
// once a piece or once an item, never once a byte, so that the parser's pace stays the body's.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "common/answer_buffer.hpp"
#include "common/failure.hpp"

namespace orvane::wire {

class AnswerSink {
public:
    virtual ~AnswerSink() = default;
    AnswerSink(const AnswerSink&) = delete;
    AnswerSink& operator=(const AnswerSink&) = delete;

    // A piece of the body of this many bytes came through the parser's Feed, answer or not; the bytes
    // received straight into the answer's buffer are told with ReceivedIntoTail instead.
    virtual void PieceCame(std::size_t bytes) noexcept = 0;
    // The answer item is this long, never 0 and never past the body: a buffer for its first bytes, or
    // why there is none, which ends the parse.
    virtual std::optional<Failure> Open(std::size_t length) noexcept = 0;
    // The answer's next bytes, never more than its length leaves: kept, or why not, which ends the
    // parse.
    virtual std::optional<Failure> Append(std::span<const unsigned char> bytes) noexcept = 0;
    // The free part of the answer's buffer, where its next bytes may be received straight into; it may
    // run past what is left of the answer, which the parser cuts off.
    virtual std::span<unsigned char> Tail() noexcept = 0;
    // That many bytes came into Tail, one piece of the body.
    virtual void ReceivedIntoTail(std::size_t count) noexcept = 0;
    // Looks for the answer's first zero byte in what came since the last look.
    virtual void Scan() noexcept = 0;
    // No more bytes will come for the answer: it is whole, or there will be none.
    virtual void Decided() noexcept = 0;
    // The answer as a text, or in its buffer, which is the taker's from then on; asked only once the
    // body is parsed to its end and the answer found whole.
    virtual std::string TakeText() = 0;
    virtual AnswerBuffer TakeBuffer() noexcept = 0;

protected:
    AnswerSink() = default;
};

}  // namespace orvane::wire
