#include "net/address_cache.hpp"

#include <gtest/gtest.h>

#include <optional>
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
    AddressCache cache(300000, 1000);
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

TEST(AddressCache, AnAddressIsUsedForMinutesANameNotFoundOrAnAddressDoubtedForASecond) {
    constexpr std::uint32_t kOther = 0x0200007F;
    struct Kind {
        const char* name = "";
        LookedUp answer;
        std::optional<std::uint32_t> doubted;  // after the answer came
        std::uint64_t keptMs = 0;
    } kinds[] = {
        {"found", kLoopback, std::nullopt, 300000},
        {"not found", std::nullopt, std::nullopt, 1000},
        {"found, then doubted", kLoopback, kLoopback, 1000},
        {"found, then another address doubted", kLoopback, kOther, 300000},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        AddressCache cache(300000, 1000);
        Waiter asked;
        ASSERT_EQ(cache.Ask("svc", 0, asked).next, Next::Look);
        // The lookup took 1.5 s: the answer is dated when it came, not when it was asked for.
        (void)All(cache.Learn("svc", kind.answer, 1500));
        if (kind.doubted) cache.Doubt("svc", *kind.doubted);
        struct Case {
            std::uint64_t now;
            Next next;
        } cases[] = {
            {1499, Next::Use},  // a clock read just before the worker dated the answer
            {1500, Next::Use},
            {1500 + kind.keptMs - 1, Next::Use},
            {1500 + kind.keptMs, Next::Look},
        };
        for (const Case& c : cases) {
            Waiter waiter;
            const AddressCache::Answer got = cache.Ask("svc", c.now, waiter);
            EXPECT_EQ(got.next, c.next) << "at " << c.now;
            if (got.next == Next::Use) {
                EXPECT_EQ(got.address, kind.answer) << "at " << c.now;
            }
            (void)AddressCache::Leave(waiter);
        }
        // The next answer is trusted again for as long as any.
        (void)All(cache.Learn("svc", kLoopback, 400000));
        Waiter later;
        EXPECT_EQ(cache.Ask("svc", 400000 + 299999, later).next, Next::Use);
    }
}

}  // namespace
}  // namespace orvane
