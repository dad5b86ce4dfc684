// The limit on the lines that other processes' messages make the script thread write.
#include <gtest/gtest.h>

#include "common/failure.hpp"

namespace orvane {
namespace {

TEST(FailureLimiter, AWriteAListenerHeldUpKeepsEveryLineQuietForTwentyTimesAsLongThenTellsTheCount) {
    FailureLimiter limiter;
    ASSERT_TRUE(limiter.Admit("speed-limit request", Failure::NoHandler, 0).write);
    limiter.Wrote(0, 2);  // an ordinary write: nothing changes
    EXPECT_TRUE(limiter.Admit("restore request", Failure::NoHandler, 1010).write);
    limiter.Wrote(1010, 1510);  // held up for half a second
    // Quiet until 1510 + 20 * 500 ms, for every cause and operation, however many seconds pass.
    for (std::uint64_t now = 1600; now < 11510; now += 700) {
        EXPECT_FALSE(limiter.Admit("speed-limit request", Failure::NoHandler, now).write) << now;
        EXPECT_FALSE(limiter.Admit("manual notice", Failure::NoTrayWindow, now).write) << now;
    }
    const FailureLimiter::Verdict after = limiter.Admit("speed-limit request", Failure::NoHandler, 11510);
    EXPECT_TRUE(after.write);
    EXPECT_EQ(after.leftOut, 15u) << "every line left out while quiet is counted";
}

// A listener may hold each write just under the slow mark, or for its whole time-out of seconds.
TEST(FailureLimiter, WritesHeldUpAddUpOverTheSecondAndALongHoldIsPaidInFull) {
    FailureLimiter shortHolds;
    ASSERT_TRUE(shortHolds.Admit("speed-limit request", Failure::NoHandler, 0).write);
    shortHolds.Wrote(0, 19);
    ASSERT_TRUE(shortHolds.Admit("restore request", Failure::NoHandler, 19).write);
    shortHolds.Wrote(19, 38);
    EXPECT_FALSE(shortHolds.Admit("manual notice", Failure::NoTrayWindow, 500).write);
    EXPECT_TRUE(shortHolds.Admit("manual notice", Failure::NoTrayWindow, 38 + 20 * 38).write);

    FailureLimiter longHold;
    ASSERT_TRUE(longHold.Admit("speed-limit request", Failure::NoHandler, 0).write);
    longHold.Wrote(0, 10000);
    EXPECT_FALSE(longHold.Admit("restore request", Failure::NoHandler, 70001).write);
    EXPECT_TRUE(longHold.Admit("restore request", Failure::NoHandler, 210000).write);
}

// The network loop hands its lines over and never waits; a writer that falls behind loses lines, and
// says how many, once it has caught up with the rest.
TEST(LineQueue, LinesPastItsRoomAreCountedUnderTheFirstAndToldAfterTheRest) {
    LineQueue queue;
    for (std::uint32_t i = 0; i < LineQueue::kCapacity; ++i) queue.Push("GetActiveGame", Failure::ConnectFailed, i);
    queue.Push("GetTipsId", Failure::TimedOut, 0);
    queue.Push("GetActiveGame", Failure::ConnectFailed, 7);
    LineQueue::Line line{};
    for (std::uint32_t i = 0; i < LineQueue::kCapacity; ++i) {
        ASSERT_TRUE(queue.Pop(line));
        EXPECT_FALSE(line.leftOut);
        EXPECT_EQ(line.code, i) << "in order";
    }
    queue.Push("GetTipsId", Failure::EmptyReply, 0);
    ASSERT_TRUE(queue.Pop(line));
    EXPECT_EQ(line.cause, Failure::EmptyReply) << "room again once the writer took some";
    ASSERT_TRUE(queue.Pop(line));
    EXPECT_TRUE(line.leftOut);
    EXPECT_STREQ(line.operation, "GetTipsId");
    EXPECT_EQ(line.cause, Failure::TimedOut);
    EXPECT_EQ(line.code, 2u);
    EXPECT_FALSE(queue.Pop(line)) << "the count is told once";
}

}  // namespace
}  // namespace orvane
