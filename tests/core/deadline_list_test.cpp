// The exchange loop's time limits: what comes due first, across the lengths of limit.
#include <gtest/gtest.h>

#include <vector>

#include "net/deadline_list.hpp"

namespace orvane {
namespace {

std::vector<int> TakeAllDue(DeadlineLists& lists, std::uint64_t now) {
    std::vector<int> taken;
    while (Deadline* due = lists.TakeDue(now)) taken.push_back(*static_cast<int*>(due->owner));
    return taken;
}

TEST(DeadlineLists, LimitsComeDueEarliestFirstAcrossLengthsAndTheirOwnTimes) {
    int ids[6] = {0, 1, 2, 3, 4, 5};
    Deadline d0(&ids[0]), d1(&ids[1]), d2(&ids[2]), d3(&ids[3]), d4(&ids[4]), d5(&ids[5]);
    DeadlineLists lists;
    lists.Limit(d0, 0, 300);    // due 300
    lists.Limit(d1, 10, 10);    // due 20, a second length
    lists.Limit(d2, 20, 300);   // due 320
    lists.LimitAt(d3, 310);     // a time of its own
    lists.Limit(d4, 30, 10);    // due 40
    lists.Limit(d5, 40, 7000);  // a third length shares the last list: due 7040
    lists.Limit(d1, 50, 10);    // set again: due 60, behind d4
    EXPECT_EQ(lists.Earliest(), 40u);
    EXPECT_EQ(TakeAllDue(lists, 39), std::vector<int>{});
    EXPECT_EQ(TakeAllDue(lists, 315), (std::vector<int>{4, 1, 0, 3}));
    DeadlineLists::Clear(d2);
    EXPECT_FALSE(DeadlineLists::Set(d2));
    EXPECT_EQ(lists.Earliest(), 7040u);
    EXPECT_EQ(TakeAllDue(lists, 10000), std::vector<int>{5});
    EXPECT_EQ(lists.Earliest(), UINT64_MAX);
}

// The loop ends the exchanges that have waited longest for their server first.
TEST(DeadlineLists, EachLengthIsVisitedOldestFirstUntilTheVisitStops) {
    int ids[4] = {0, 1, 2, 3};
    Deadline d0(&ids[0]), d1(&ids[1]), d2(&ids[2]), d3(&ids[3]);
    DeadlineLists lists;
    lists.Limit(d0, 0, 100);
    lists.Limit(d1, 5, 100);
    lists.Limit(d0, 10, 100);  // moved: its owner moved last
    lists.Limit(d2, 12, 50);
    lists.LimitAt(d3, 1);  // not a step's limit: never visited
    std::vector<int> seen;
    lists.ForEachOldestFirst([&](const Deadline& deadline) {
        seen.push_back(*static_cast<int*>(deadline.owner));
        return seen.size() < 3;
    });
    EXPECT_EQ(seen, (std::vector<int>{1, 0, 2}));
}

// Room for an answer: the bytes at hand count first, then as few of the oldest as cover the rest.
TEST(DeadlineLists, RoomIsMadeByEndingOnlyTheOldestThatCoverWhatTheKeptBytesDoNot) {
    int ids[4] = {0, 1, 2, 3};
    Deadline d0(&ids[0]), d1(&ids[1]), d2(&ids[2]), d3(&ids[3]);
    DeadlineLists lists;
    for (Deadline* d : {&d0, &d1, &d2, &d3}) lists.Limit(*d, 0, 100);
    const auto held = [](const Deadline& deadline) -> std::size_t {
        return *static_cast<int*>(deadline.owner) == 1 ? 0 : 100;  // 1 may not be ended
    };
    const struct {
        std::size_t shortfall, kept;
        bool covered;
        std::vector<int> ended;
    } cases[] = {
        {250, 60, true, {0, 2}},  // 60 + 100 + 100
        {100, 100, true, {}},     // the kept bytes alone
        {400, 60, false, {}},     // 60 + 300 falls short: nothing is ended
        {300, 0, true, {0, 2, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shortfall);
        std::vector<int> ended;
        EXPECT_EQ(lists.EndOldestCovering(c.shortfall, c.kept, held,
                                          [&](const Deadline& d) { ended.push_back(*static_cast<int*>(d.owner)); }),
                  c.covered);
        EXPECT_EQ(ended, c.ended);
    }
}

}  // namespace
}  // namespace orvane
