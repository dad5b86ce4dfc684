#include "bridge/pending_deliveries.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace orvane {
namespace {

TEST(PendingDeliveries, PairIsTakenExactlyOnceAndOnlyAsAdded) {
    PendingDeliveries pending;
    int callback = 0;
    std::string result;
    int other = 0;
    EXPECT_FALSE(pending.Take(&callback, &result)) << "nothing was added";
    pending.Add(&callback, &result);
    EXPECT_FALSE(pending.Take(&callback, &other)) << "a forged result address must not match";
    EXPECT_FALSE(pending.Take(&other, &result)) << "a forged callback address must not match";
    EXPECT_TRUE(pending.Take(&callback, &result));
    EXPECT_FALSE(pending.Take(&callback, &result)) << "a second delivery of the same pair";
    EXPECT_EQ(pending.Size(), 0u);
}

TEST(PendingDeliveries, ConcurrentWorkersEachFindTheirOwnEntry) {
    PendingDeliveries pending;
    constexpr int kWorkers = 8;
    constexpr int kRounds = 2000;
    std::vector<std::thread> workers;
    std::vector<int> taken(kWorkers, 0);
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            int callback = 0;
            std::string result;
            for (int i = 0; i < kRounds; ++i) {
                pending.Add(&callback, &result);
                taken[static_cast<std::size_t>(w)] += pending.Take(&callback, &result) ? 1 : 0;
            }
        });
    }
    for (auto& t : workers) t.join();
    for (int count : taken) EXPECT_EQ(count, kRounds);
    EXPECT_EQ(pending.Size(), 0u);
}

}  // namespace
}  // namespace orvane
