// The limit on the lines that other processes' messages make the script thread write.
#include <gtest/gtest.h>

#include "common/failure.hpp"

namespace orvane {
namespace {

TEST(FailureLimiter, AWriteAListenerHeldUpKeepsEveryLineQuietForTwentyTimesAsLongThenTellsTheCount) {
    FailureLimiter limiter;
    ASSERT_TRUE(limiter.Admit("speed-limit request", Failure::NoHandler, 0).write);
    limiter.Wrote(0, 2);  // an ordinary write: nothing changes
    EXPECT_TRUE(limiter.Admit("restore request", Failure::NoHandler, 10).write);
    limiter.Wrote(10, 510);  // held up for half a second
    // Quiet until 510 + 20 * 500 ms, for every cause and operation, however many seconds pass.
    for (std::uint64_t now = 600; now < 10510; now += 700) {
        EXPECT_FALSE(limiter.Admit("speed-limit request", Failure::NoHandler, now).write) << now;
        EXPECT_FALSE(limiter.Admit("manual notice", Failure::NoTrayWindow, now).write) << now;
    }
    const FailureLimiter::Verdict after = limiter.Admit("speed-limit request", Failure::NoHandler, 10510);
    EXPECT_TRUE(after.write);
    EXPECT_EQ(after.leftOut, 15u) << "every line left out while quiet is counted";
}

}  // namespace
}  // namespace orvane
