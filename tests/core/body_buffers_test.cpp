// The receive buffers of a game-platform body, and what they hold of the answers' budget.
#include <gtest/gtest.h>

#include "net/body_buffers.hpp"

namespace orvane {
namespace {

// A stalled server holds only its first buffer; a steady one gets a large chunk and a second to read
// ahead into; and everything goes back to the budget and the loop's chunks, whatever was taken.
TEST(BodyBuffers, GrowWithAServerThatProvesSteadyAndGiveEverythingBack) {
    AnswerBudget budget(4 * BodyBuffers::kLarge);
    ReceiveChunks chunks;
    {
        BudgetShare share(budget);
        BodyBuffers buffers(share);
        EXPECT_EQ(buffers.Next(100, false, chunks).size(), 100u) << "a short body's buffer is as long as it";
        buffers.GiveBack();
        EXPECT_EQ(budget.Held(), 0u);
        EXPECT_EQ(buffers.Next(10 * BodyBuffers::kLarge, false, chunks).size(), BodyBuffers::kFirst);
        EXPECT_FALSE(buffers.SwapForReadAhead()) << "no reading ahead in the first buffer";
        buffers.Received(BodyBuffers::kFirst / 4, BodyBuffers::kFirst);
        EXPECT_EQ(buffers.Next(10 * BodyBuffers::kLarge, false, chunks).size(), BodyBuffers::kFirst)
            << "a short receive proves nothing";
        buffers.Received(BodyBuffers::kFirst, BodyBuffers::kFirst);
        EXPECT_EQ(buffers.Next(10 * BodyBuffers::kLarge, true, chunks).size(), BodyBuffers::kFirst)
            << "bytes that are only counted need no large chunk";
        EXPECT_EQ(buffers.Next(10 * BodyBuffers::kLarge, false, chunks).size(), BodyBuffers::kLarge);
        EXPECT_EQ(budget.Held(), BodyBuffers::kLarge) << "the first buffer's bytes went back";
        const unsigned char* piece = buffers.Current();
        ASSERT_TRUE(buffers.SwapForReadAhead());
        EXPECT_EQ(buffers.Ahead(), piece);
        EXPECT_NE(buffers.Current(), piece);
        EXPECT_EQ(budget.Held(), 2 * BodyBuffers::kLarge);
        ASSERT_TRUE(buffers.SwapForReadAhead()) << "the two swap again, nothing more taken";
        EXPECT_EQ(buffers.Current(), piece);
        EXPECT_EQ(budget.Held(), 2 * BodyBuffers::kLarge);
    }
    EXPECT_EQ(budget.Held(), 0u) << "all back when the buffers go";
    EXPECT_TRUE(chunks.Take() && chunks.Take()) << "both chunks back with the loop";
}

// Room that only speeds an exchange up is never taken past the budget, and the first buffer, which it
// needs, is refused there.
TEST(BodyBuffers, ABudgetWithoutRoomRefusesTheFirstBufferAndLeavesASteadyServerOnItsSmallOne) {
    ReceiveChunks chunks;
    AnswerBudget tight(BodyBuffers::kFirst + BodyBuffers::kFirst / 2);
    BudgetShare share(tight);
    BodyBuffers buffers(share);
    EXPECT_EQ(buffers.Next(10 * BodyBuffers::kLarge, false, chunks).size(), BodyBuffers::kFirst);
    buffers.Received(BodyBuffers::kFirst, BodyBuffers::kFirst);
    EXPECT_EQ(buffers.Next(10 * BodyBuffers::kLarge, false, chunks).size(), BodyBuffers::kFirst);
    EXPECT_EQ(tight.Held(), BodyBuffers::kFirst);
    BudgetShare other(tight);
    BodyBuffers refused(other);
    EXPECT_TRUE(refused.Next(BodyBuffers::kFirst, false, chunks).empty());
    EXPECT_EQ(tight.Held(), BodyBuffers::kFirst);
}

}  // namespace
}  // namespace orvane
