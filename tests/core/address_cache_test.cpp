#include "net/address_cache.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace orvane {
namespace {

using Next = AddressCache::Next;
constexpr std::uint32_t kLoopback = 0x0100007F;

struct Waiter final : AddressWaiter {
    void AddressKnown(LookedUp) noexcept override {}
};

std::vector<AddressWaiter*> All(AddressWaiters waiting) {
    std::vector<AddressWaiter*> all;
    while (AddressWaiter* waiter = waiting.Pop()) all.push_back(waiter);
    return all;
}

TEST(AddressCache, OneLookupPerNameServesEveryoneWhoAskedWhileItRan) {
    AddressCache cache(1000);
    Waiter first, second, third, gaveUp, other, another;
    EXPECT_EQ(cache.Ask("svc", 0, first).next, Next::Look);
    EXPECT_EQ(cache.Ask("svc", 1, second).next, Next::Wait);
    EXPECT_EQ(cache.Ask("svc", 2, gaveUp).next, Next::Wait);
    EXPECT_EQ(cache.Ask("other", 3, other).next, Next::Look) << "each name has a lookup of its own";
    EXPECT_EQ(cache.Ask("another", 3, another).next, Next::Look) << "however many names there are";
    EXPECT_EQ(cache.Ask("svc", 4, third).next, Next::Wait);
    EXPECT_TRUE(AddressCache::Leave(gaveUp)) << "a waiter whose time ran out goes";
    EXPECT_FALSE(AddressCache::Leave(gaveUp));

    EXPECT_EQ(All(cache.Learn("svc", kLoopback, 1500)), (std::vector<AddressWaiter*>{&first, &second, &third}));
    EXPECT_FALSE(AddressCache::Leave(second)) << "the answer took it off its entry";
    EXPECT_EQ(All(cache.Learn("other", std::nullopt, 1500)), (std::vector<AddressWaiter*>{&other}));
    EXPECT_EQ(All(cache.Learn("another", kLoopback, 1500)), (std::vector<AddressWaiter*>{&another}));
    for (const char* name : {"svc", "other", "another"}) {
        Waiter later;
        EXPECT_EQ(cache.Ask(name, 1600, later).next, Next::Use) << name << " is remembered beside the others";
    }
}

TEST(AddressCache, AnAnswerFoundOrNotIsUsedForASecondFromWhenItCame) {
    for (const LookedUp answer : {LookedUp(kLoopback), LookedUp()}) {
        SCOPED_TRACE(answer ? "found" : "not found");
        AddressCache cache(1000);
        Waiter asked;
        ASSERT_EQ(cache.Ask("svc", 0, asked).next, Next::Look);
        // The lookup took 1.5 s: the answer is dated when it came, not when it was asked for.
        (void)All(cache.Learn("svc", answer, 1500));
        struct Case {
            std::uint64_t now;
            Next next;
        } cases[] = {
            {1499, Next::Use},  // a clock read just before the worker dated the answer
            {1500, Next::Use},
            {2499, Next::Use},
            {2500, Next::Look},
        };
        for (const Case& c : cases) {
            Waiter waiter;
            const AddressCache::Answer got = cache.Ask("svc", c.now, waiter);
            EXPECT_EQ(got.next, c.next) << "at " << c.now;
            if (got.next == Next::Use) {
                EXPECT_EQ(got.address, answer) << "at " << c.now;
            }
        }
    }
}

}  // namespace
}  // namespace orvane
