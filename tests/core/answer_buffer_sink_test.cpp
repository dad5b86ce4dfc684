#include "net/answer_buffer_sink.hpp"

#include "common/answer_budget.hpp"
#include "common/answer_buffer.hpp"
#include "net/reply_parser.hpp"
#include "tests/support/whole_body.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace orvane::wire {
namespace {

TEST(AnswerBufferSink, ALongAnswersBufferIsNoLargerThanItsLength) {
    // A finished answer waits for the script thread, and a stalled one for its server: either way the
    // buffer it holds is what it says, not what a string's doubling left.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string answer(9 * kMiB + 5, 'a');
    const std::string body = Items({"games", answer});
    AnswerBufferSink sink;
    ReplyParser parser("games", body.size(), sink);
    for (std::size_t at = 0; at < body.size(); at += kMiB) parser.Feed(AsBody(body.substr(at, kMiB)));
    const std::string taken = parser.TakeAnswer();
    EXPECT_EQ(taken, answer);
    EXPECT_EQ(taken.capacity(), answer.size());
}

TEST(AnswerBufferSink, AnswerBufferIsTakenFromTheBudgetBeforeItIsMadeAndGoesBackWhenItsHolderGoes) {
    // The answer grows by doubling, so its last step holds the 2 MiB buffer and the 3 MiB + 7 one at once.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string answer(3 * kMiB + 7, 'a');
    const std::string body = Items({"games", answer});
    struct Case {
        std::size_t limit;
        bool whole;
    } cases[] = {
        {5 * kMiB + 7, true},
        {5 * kMiB + 6, false},                // one byte short of the last step
        {kAnswerReservedUpFront - 1, false},  // not even the buffer set aside up front
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        AnswerBudget budget(c.limit);
        std::string taken;
        {
            BudgetShare share(budget);
            {
                AnswerBufferSink sink(&share);
                ReplyParser parser("games", body.size(), sink);
                constexpr std::size_t kPiece = std::size_t{64} * 1024;
                for (std::size_t at = 0; at < body.size(); at += kPiece) {
                    parser.Feed(AsBody(body.substr(at, kPiece)));
                }
                taken = parser.TakeAnswer();
            }
            EXPECT_EQ(taken.size(), c.whole ? answer.size() : 0u);
            EXPECT_TRUE(taken == answer || !c.whole);
            // The answer keeps its share until its request goes; a failed parse's buffer went with it.
            EXPECT_EQ(share.Held(), c.whole ? taken.capacity() : 0u);
            EXPECT_EQ(budget.Held(), share.Held());
        }
        EXPECT_EQ(budget.Held(), 0u);
    }
}

TEST(AnswerBufferSink, AServerThatProvedFastGetsOneBufferOfTheWholeAnswerOrTheKeptOne) {
    // A first piece of 1 MiB proves it: the answer then needs no larger buffer than its length, where
    // growing would hold two buffers at once at each step. A kept buffer large enough is used instead
    // of a fresh one, and brings its own share.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string answer(6 * kMiB + 3, 'a');
    const std::string body = Items({"games", answer});
    struct Case {
        const char* what;
        std::size_t limit;
        std::size_t kept;      // capacity of the buffer kept for the next long answer; 0 for none
        std::size_t capacity;  // of the answer's buffer; 0 for no answer
    } cases[] = {
        {"exactly the answer's buffer", answer.size(), 0, answer.size()},
        {"a byte less", answer.size() - 1, 0, 0},
        {"a kept buffer large enough", 7 * kMiB, 7 * kMiB, 7 * kMiB},
        {"a kept buffer too small", 7 * kMiB, kMiB, answer.size()},
    };
    static AnswerBudget* keptBudget = nullptr;
    static std::size_t keptCapacity = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AnswerBudget budget(c.limit);
        keptBudget = &budget;
        keptCapacity = c.kept;
        const AnswerBufferSink::KeptBuffers kept = [](std::size_t atLeast) noexcept {
            BudgetShare keptShare(*keptBudget);
            if (keptCapacity < atLeast || !keptShare.Grow(keptCapacity)) return AnswerBuffer();
            return AnswerBuffer::Make(keptCapacity, std::move(keptShare));
        };
        BudgetShare share(budget);
        AnswerBuffer buffer;
        {
            AnswerBufferSink sink(&share, kept);
            ReplyParser parser("games", body.size(), sink);
            for (std::size_t at = 0; at < body.size(); at += kMiB) parser.Feed(AsBody(body.substr(at, kMiB)));
            buffer = parser.TakeBuffer();
        }
        EXPECT_EQ(buffer.Bytes().size(), c.capacity != 0 ? answer.size() : 0u);
        EXPECT_EQ(buffer.Capacity(), c.capacity);
        EXPECT_EQ(buffer.Share().Held(), c.capacity) << "the buffer carries its share";
        EXPECT_EQ(budget.Held(), c.capacity);
        buffer = AnswerBuffer();
        EXPECT_EQ(budget.Held(), 0u);
    }
}

// A parser and the sink it hands its answer to, as an exchange holds them.
struct Reply {
    Reply(std::size_t bodyLength, WholeBuffers& whole)
        : sink(nullptr, nullptr, &whole), parser("games", bodyLength, sink) {}
    AnswerBufferSink sink;
    ReplyParser parser;
};

TEST(AnswerBufferSink, OnlySoManyAnswersHoldABufferOfTheirWholeLengthWhileItFills) {
    // A server may prove fast and then trickle, holding its whole buffer until its idle limit: past the
    // bound, an answer's buffer grows with its bytes, until one that held one is done with it.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string answer(6 * kMiB, 'a');
    const std::string body = Items({"games", answer});
    const auto capacity = [](Reply& reply, std::size_t fed) { return fed - 13 + reply.parser.AnswerTail().size(); };
    WholeBuffers whole{2};
    std::optional<Reply> replies[3];
    for (std::optional<Reply>& reply : replies) {
        reply.emplace(body.size(), whole);
        reply->parser.Feed(AsBody(body.substr(0, kMiB)));
    }
    EXPECT_EQ(capacity(*replies[0], kMiB), answer.size());
    EXPECT_EQ(capacity(*replies[1], kMiB), answer.size());
    EXPECT_LT(capacity(*replies[2], kMiB), answer.size()) << "a third grows its buffer";
    EXPECT_EQ(whole.held, 2);
    replies[0]->parser.Feed(AsBody(body.substr(kMiB)));
    EXPECT_EQ(replies[0]->parser.TakeAnswer().size(), answer.size());
    EXPECT_EQ(whole.held, 1) << "a whole answer holds no larger buffer than it fills";
    replies[1].reset();
    EXPECT_EQ(whole.held, 0) << "nor one whose exchange went";
    replies[2]->parser.Feed(AsBody(body.substr(kMiB, kMiB)));
    EXPECT_EQ(capacity(*replies[2], 2 * kMiB), answer.size()) << "the third may now";
    EXPECT_EQ(whole.held, 1);
    replies[2].reset();
    EXPECT_EQ(whole.held, 0);
}

TEST(AnswerBufferSink, AWholeBufferTheBudgetRefusesIsFreeForAnotherAnswerAtOnce) {
    // A server that proved fast takes one of the whole buffers before its buffer is taken from the
    // budget: where the budget refuses that buffer, the parse fails, and the whole buffer is another
    // answer's from then on, not only once the failed exchange has gone.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string body = Items({"games", std::string(6 * kMiB, 'a')});
    AnswerBudget budget(2 * kMiB);
    BudgetShare share(budget);
    WholeBuffers whole{1};
    AnswerBufferSink sink(&share, nullptr, &whole);
    ReplyParser parser("games", body.size(), sink);
    parser.Feed(AsBody(body.substr(0, kMiB)));
    EXPECT_TRUE(parser.Failed());
    EXPECT_EQ(parser.Why(), Failure::OverBudget);
    EXPECT_EQ(whole.held, 0);
    EXPECT_EQ(budget.Held(), 0u);
}

}  // namespace
}  // namespace orvane::wire
