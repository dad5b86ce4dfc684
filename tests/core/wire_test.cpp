#include "net/wire.hpp"

#include "common/first_zero.hpp"
#include "tests/support/whole_body.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::wire {
namespace {

std::string Bytes(std::initializer_list<unsigned> values) {
    std::string out;
    for (unsigned v : values) out.push_back(static_cast<char>(v));
    return out;
}

std::span<const unsigned char> AsBody(const std::string& bytes) {
    return {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
}

std::string Items(std::initializer_list<std::string_view> items) {
    std::string out;
    for (auto item : items) out += EncodeItem(item);
    return out;
}

TEST(TipsRequest, CarriesBothValuesUnchangedAndItsZeroByte) {
    struct Case {
        std::string pid, cid, expected;
    };
    const Case cases[] = {
        {"123", "7", std::string("request=tips&pid=123&cid=7", 26) + '\0'},
        {"", "", std::string("request=tips&pid=&cid=", 22) + '\0'},
        {"a&b=c", "=&", std::string("request=tips&pid=a&b=c&cid==&") + '\0'},
        {"\xC3\xA9", "x", std::string("request=tips&pid=\xC3\xA9&cid=x") + '\0'},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TipsRequestDatagram(c.pid, c.cid), c.expected) << c.pid << "/" << c.cid;
    }
    EXPECT_EQ(TipsRequestDatagram("123", "7").size(), 27u);
    EXPECT_EQ(TipsRequestDatagram("", "").size(), 23u);
}

TEST(TipShownReport, PutsTheArgumentsInTheServersOrder) {
    const auto report = TipShownReportDatagram("t1", "p1", "c1", "");
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(*report, std::string("request=popped&pid=p1&tipid=t1&cid=c1&sign=") + '\0');
    EXPECT_EQ(report->size(), 44u);
}

TEST(TipShownReport, IsSentWholeOrNotAtAll) {
    // The fixed text takes 37 bytes and the zero byte one more, so the values may take 986 bytes in all.
    struct Case {
        std::size_t tipid, pid, cid, sign;
        bool fits;
    };
    const Case cases[] = {
        {0, 0, 0, 986, true},       {0, 0, 0, 987, false},  {300, 300, 300, 86, true},
        {300, 300, 300, 87, false}, {1000, 0, 0, 0, false}, {0, 0, 0, 5000, false},
    };
    for (const Case& c : cases) {
        const auto report = TipShownReportDatagram(std::string(c.tipid, 't'), std::string(c.pid, 'p'),
                                                   std::string(c.cid, 'c'), std::string(c.sign, 's'));
        ASSERT_EQ(report.has_value(), c.fits) << c.tipid << "+" << c.pid << "+" << c.cid << "+" << c.sign;
        if (c.fits) {
            EXPECT_EQ(report->size(), 38 + c.tipid + c.pid + c.cid + c.sign);
            EXPECT_LE(report->size(), kTipsReportCapacity);
            EXPECT_EQ(report->back(), '\0');
            EXPECT_EQ(report->substr(report->size() - 1 - c.sign), std::string(c.sign, 's') + '\0')
                << "the sign is last and complete";
        }
    }
}

TEST(GameRequest, MatchesTheFramingByteForByte) {
    const Header header = RequestHeader(kActiveGameRequest, 28);
    EXPECT_EQ(std::string(header.begin(), header.end()), Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x1C}));
    EXPECT_EQ(ActiveGameRequestBody("abc", "x"), Bytes({0,   0, 0, 4, 'n', 'a', 'm', 'e', 0,   0, 0, 3, 'a', 'b',
                                                        'c', 0, 0, 0, 4,   't', 'y', 'p', 'e', 0, 0, 0, 1,   'x'}));
    EXPECT_EQ(ActiveGameRequestBody("", ""),
              Bytes({0, 0, 0, 4, 'n', 'a', 'm', 'e', 0, 0, 0, 0, 0, 0, 0, 4, 't', 'y', 'p', 'e', 0, 0, 0, 0}));
    const Header big = RequestHeader(0x01020304u, 0xA0B0C0D0u);
    EXPECT_EQ(std::string(big.begin(), big.end()), Bytes({0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0}));
}

TEST(GameRequest, ItemLengthIsBigEndianAndCountsEveryByte) {
    EXPECT_EQ(EncodeItem(""), Bytes({0, 0, 0, 0}));
    EXPECT_EQ(EncodeItem(std::string("a\0b", 3)), Bytes({0, 0, 0, 3, 'a', 0, 'b'}));
    const std::string long_text(0x1234, 'z');
    EXPECT_EQ(EncodeItem(long_text).substr(0, 4), Bytes({0, 0, 0x12, 0x34}));
    EXPECT_EQ(EncodeItem(long_text).size(), 4u + 0x1234u);
}

TEST(ReplyHeader, LengthIsWordThreeBigEndianAndAllOnesIsAFailure) {
    struct Case {
        std::initializer_list<unsigned> last;
        std::optional<std::uint32_t> expected;
    };
    const Case cases[] = {
        {{0, 0, 0, 0}, 0u},
        {{0, 0, 0, 0x10}, 16u},
        {{0x01, 0x00, 0x00, 0x00}, 0x01000000u},
        {{0xFF, 0xFF, 0xFF, 0xFE}, 0xFFFFFFFEu},
        {{0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt},
    };
    for (const Case& c : cases) {
        Header header{};
        // Words 0 to 2 are not examined: fill them with noise.
        for (std::size_t i = 0; i < 12; ++i) header[i] = static_cast<unsigned char>(0xA5 + i);
        std::size_t i = 12;
        for (unsigned v : c.last) header[i++] = static_cast<unsigned char>(v);
        EXPECT_EQ(ReplyBodyLength(header), c.expected);
    }
}

TEST(ReplyHeader, BodiesAboveSixteenMebibytesAreRefused) {
    EXPECT_TRUE(ReplyBodyLengthAcceptable(0));
    EXPECT_TRUE(ReplyBodyLengthAcceptable(16u * 1024u * 1024u));
    EXPECT_FALSE(ReplyBodyLengthAcceptable(16u * 1024u * 1024u + 1u));
    EXPECT_FALSE(ReplyBodyLengthAcceptable(0x80000000u));
    EXPECT_FALSE(ReplyBodyLengthAcceptable(0xFFFFFFFEu));
}

TEST(FindValueAfterKey, PicksTheItemAfterTheFirstExactKey) {
    struct Case {
        const char* what;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {"key first", Bytes({0, 0, 0, 5, 'g', 'a', 'm', 'e', 's', 0, 0, 0, 3, '1', '2', '3'}), "123"},
        {"key in the middle", Items({"abc", "games", "ok"}), "ok"},
        {"key at an odd position", Items({"a", "b", "games", "v", "x"}), "v"},
        {"first of two keys", Items({"games", "one", "games", "two"}), "one"},
        {"key as a value of another key", Items({"name", "games", "games2"}), "games2"},
        {"value holds zero bytes", Items({"games", std::string("a\0b", 3)}), std::string("a\0b", 3)},
        {"empty value", Items({"games", "", "x"}), ""},
        {"capital letter does not match", Items({"Games", "no"}), ""},
        {"trailing blank does not match", Items({"games ", "no"}), ""},
        {"prefix does not match", Items({"game", "no"}), ""},
        {"no key", Items({"abc", "def"}), ""},
        {"empty body", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindValueAfterKey("games", AsBody(c.body)), c.expected) << c.what;
    }
}

TEST(FindValueAfterKey, MalformedBodiesGiveTheEmptyTextWithoutReadingPastTheEnd) {
    struct Case {
        const char* what;
        std::string body;
    };
    const Case cases[] = {
        {"key is the last item", Items({"abc", "games"})},
        {"value length runs past the end", Items({"games"}) + Bytes({0, 0, 0, 9, 'a', 'b'})},
        {"value length field cut short", Items({"games"}) + Bytes({0, 0})},
        {"earlier item runs past the end", Bytes({0, 0, 0, 50, 'g'}) + Items({"games", "hidden"})},
        {"length near 2^32 cannot wrap", Bytes({0xFF, 0xFF, 0xFF, 0xFC, 0, 0, 0, 0}) + Items({"games", "v"})},
        {"lone partial length", Bytes({0, 0, 0})},
        {"all ones length", Bytes({0xFF, 0xFF, 0xFF, 0xFF}) + Items({"games", "v"})},
    };
    for (const Case& c : cases) {
        // An exact-size heap copy lets a sanitizer see a single byte read past the end.
        std::vector<unsigned char> exact(c.body.begin(), c.body.end());
        EXPECT_EQ(FindValueAfterKey("games", exact), "") << c.what;
    }
}

TEST(FindValueAfterKey, LaterGarbageDoesNotSpoilAnAnswerAlreadyFound) {
    const std::string body = Items({"games", "ok"}) + Bytes({0, 0, 0, 99});
    EXPECT_EQ(FindValueAfterKey("games", AsBody(body)), "ok");
}

// Feeds a body to the walk in pieces cut at the given offsets.
std::string WalkInPieces(const std::string& body, const std::vector<std::size_t>& cuts, std::uint64_t announced) {
    ReplyWalk walk("games", announced);
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        walk.Feed(AsBody(body).subspan(from, cut - from));
        from = cut;
    }
    walk.Feed(AsBody(body).subspan(from));
    return walk.TakeAnswer();
}

TEST(ReplyWalk, AnswersAsTheWholeBodyWalkDoesWhereverTheBodyIsCut) {
    const std::string bodies[] = {
        Items({"abc", "games", "ok"}),
        Items({"games", "one", "games", "two"}),
        Items({"name", "games", "games2"}),
        Items({"games", std::string("a\0b", 3)}),
        Items({"games", "", "x"}),
        Items({"game", "no", "gamesX", "no", "Games", "no"}),
        Items({"", "", "games", "v"}),
        Items({"abc", "games"}),
        Items({"games"}) + Bytes({0, 0, 0, 9, 'a', 'b'}),
        Bytes({0, 0, 0, 50, 'g'}) + Items({"games", "hidden"}),
        Bytes({0xFF, 0xFF, 0xFF, 0xFC, 0, 0, 0, 0}) + Items({"games", "v"}),
        Items({"games", "ok"}) + Bytes({0, 0, 0, 99}),
        Bytes({0, 0, 0}),
        "",
    };
    for (const std::string& body : bodies) {
        const std::string whole = FindValueAfterKey("games", AsBody(body));
        for (std::size_t cut = 0; cut <= body.size(); ++cut) {
            EXPECT_EQ(WalkInPieces(body, {cut}, body.size()), whole) << "cut at " << cut << " of " << body.size();
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t cut = 1; cut < body.size(); ++cut) everyByte.push_back(cut);
        EXPECT_EQ(WalkInPieces(body, everyByte, body.size()), whole) << "byte by byte, " << body.size() << " bytes";
    }
}

// A body is often a long run of items of one length, which the walk may step over several at a time:
// an item of another length, or the key, anywhere in such a run is still seen, and no piece is read
// past its end, each piece being a block of its own.
TEST(ReplyWalk, SeesEveryItemOfARunOfOneLengthWhereverTheOddOneIsAndTheBodyIsCut) {
    constexpr std::size_t kRun = 40;
    const auto walkInBlocks = [](const std::string& body, std::size_t cut) {
        ReplyWalk walk("games", body.size());
        for (const auto& [from, to] : {std::pair{std::size_t{0}, cut}, std::pair{cut, body.size()}}) {
            const std::vector<unsigned char> piece(body.begin() + static_cast<std::ptrdiff_t>(from),
                                                   body.begin() + static_cast<std::ptrdiff_t>(to));
            walk.Feed(piece);
        }
        return walk.TakeAnswer();
    };
    for (const std::size_t length : {std::size_t{1}, std::size_t{5}, std::size_t{8}}) {
        const std::string filler = EncodeItem(std::string(length, 'x'));
        for (std::size_t odd = 0; odd < kRun; ++odd) {
            std::string longer, keyed;
            for (std::size_t i = 0; i < kRun; ++i) {
                longer += i == odd ? EncodeItem(std::string(length + 1, 'x')) : filler;
                keyed += i == odd ? Items({"games", "found"}) : filler;
            }
            longer += Items({"games", "ok"});
            keyed += Items({"games", "late"});
            for (std::size_t cut = 0; cut <= longer.size(); cut += 3) {
                ASSERT_EQ(walkInBlocks(longer, cut), "ok")
                    << length << "-byte run, odd one at " << odd << ", cut at " << cut;
            }
            for (std::size_t cut = 0; cut <= keyed.size(); cut += 3) {
                ASSERT_EQ(walkInBlocks(keyed, cut), "found")
                    << length << "-byte run, key at " << odd << ", cut at " << cut;
            }
        }
    }
}

// The cause a failed walk names is the body's, not the pieces': the same whichever way it is cut.
TEST(ReplyWalk, NamesWhyItFoundNoAnswerWhereverTheBodyIsCut) {
    struct Case {
        const char* what;
        std::string body;
        Failure why;
    };
    const Case cases[] = {
        {"no key", Items({"abc", "def"}), Failure::KeyMissing},
        {"empty body", "", Failure::KeyMissing},
        {"key is the last item", Items({"abc", "games"}), Failure::ReplyMalformed},
        {"value runs past the end", Items({"games"}) + Bytes({0, 0, 0, 9, 'a', 'b'}), Failure::ReplyMalformed},
        {"value length cut short", Items({"games"}) + Bytes({0, 0}), Failure::ReplyMalformed},
        {"earlier item runs past the end", Bytes({0, 0, 0, 50, 'g'}) + Items({"games", "v"}), Failure::ReplyMalformed},
        {"trailing partial length", Items({"abc"}) + Bytes({0, 0, 0}), Failure::ReplyMalformed},
    };
    for (const Case& c : cases) {
        for (std::size_t cut = 0; cut <= c.body.size(); ++cut) {
            ReplyWalk walk("games", c.body.size());
            walk.Feed(AsBody(c.body).first(cut));
            walk.Feed(AsBody(c.body).subspan(cut));
            EXPECT_TRUE(walk.Failed()) << c.what << ", cut at " << cut;
            EXPECT_EQ(walk.Why(), c.why) << c.what << ", cut at " << cut;
        }
    }
}

TEST(ReplyWalk, AnswersNothingUntilTheWholeAnnouncedBodyHasArrived) {
    const std::string body = Items({"games", "ok"});
    ReplyWalk walk("games", body.size() + 4);
    walk.Feed(AsBody(body));
    EXPECT_TRUE(walk.Decided()) << "the answer is found";
    EXPECT_EQ(walk.TakeAnswer(), "") << "but a body that ends early is a failed exchange";
}

TEST(ReplyWalk, TakesNoBytesBeyondTheAnnouncedLength) {
    // Announced as the key and a 2-byte item; what follows belongs to nothing.
    const std::string body = Items({"games", "ok"}) + Items({"games", "xx"});
    EXPECT_EQ(WalkInPieces(body, {3}, Items({"games", "ok"}).size()), "ok");
    EXPECT_EQ(WalkInPieces(Items({"abc", "games", "ok"}), {}, Items({"abc"}).size()), "");
}

TEST(ReplyWalk, KnowsAFailureAtTheFirstByteThatMakesIt) {
    // An item longer than what is left of the body cannot be walked past, so nothing more is needed.
    ReplyWalk walk("games", 1000);
    walk.Feed(AsBody(Bytes({0, 0, 0x10, 0})));
    EXPECT_TRUE(walk.Failed());
    EXPECT_EQ(walk.TakeAnswer(), "");
}

TEST(ReplyWalk, ALongAnswerHoldsNoMoreRoomThanItsLength) {
    // A finished answer waits for the script thread, and a stalled one for its server: either way the
    // room it holds is what it says, not what a string's doubling left.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string answer(9 * kMiB + 5, 'a');
    const std::string body = Items({"games", answer});
    ReplyWalk walk("games", body.size());
    for (std::size_t at = 0; at < body.size(); at += kMiB) walk.Feed(AsBody(body.substr(at, kMiB)));
    const std::string taken = walk.TakeAnswer();
    EXPECT_EQ(taken, answer);
    EXPECT_EQ(taken.capacity(), answer.size());
}

TEST(ReplyWalk, AnswerRoomIsChargedBeforeItIsMadeAndGoesBackWhenItsHolderGoes) {
    // The answer grows by doubling, so its last step holds the 2 MiB room and the 3 MiB + 7 room at once.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string answer(3 * kMiB + 7, 'a');
    const std::string body = Items({"games", answer});
    struct Case {
        std::size_t limit;
        bool whole;
    } cases[] = {
        {5 * kMiB + 7, true},
        {5 * kMiB + 6, false},                // one byte short of the last step
        {kAnswerReservedUpFront - 1, false},  // not even the room set aside up front
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        AnswerBudget budget(c.limit);
        std::string taken;
        {
            BudgetShare share(budget);
            {
                ReplyWalk walk("games", body.size(), &share);
                constexpr std::size_t kPiece = std::size_t{64} * 1024;
                for (std::size_t at = 0; at < body.size(); at += kPiece) walk.Feed(AsBody(body.substr(at, kPiece)));
                taken = walk.TakeAnswer();
            }
            EXPECT_EQ(taken.size(), c.whole ? answer.size() : 0u);
            EXPECT_TRUE(taken == answer || !c.whole);
            // The answer keeps its charge until its request goes; a failed walk's room went with it.
            EXPECT_EQ(share.Held(), c.whole ? taken.capacity() : 0u);
            EXPECT_EQ(budget.Held(), share.Held());
        }
        EXPECT_EQ(budget.Held(), 0u);
    }
}

// Receives the body as the exchange does: into the answer's room wherever the walk offers its tail,
// and through Feed elsewhere, at most `piece` bytes at a time.
AnswerRoom ReceiveInPieces(const std::string& body, std::size_t piece) {
    ReplyWalk walk("games", body.size());
    for (std::size_t at = 0; at < body.size();) {
        const std::span<unsigned char> tail = walk.AnswerTail();
        const std::size_t take = std::min({piece, body.size() - at, tail.empty() ? piece : tail.size()});
        if (tail.empty()) {
            walk.Feed(AsBody(body).subspan(at, take));
        } else {
            std::copy_n(body.data() + at, take, tail.data());
            walk.Received(take);
        }
        at += take;
    }
    return walk.TakeRoom();
}

TEST(ReplyWalk, AnswerReceivedIntoItsRoomIsTheWalkedOneAndScriptsSeeItUpToItsFirstZeroByte) {
    const std::string longAnswer = std::string(70000, 'x') + '\0' + "after";
    const std::string bodies[] = {
        Items({"abc", "games", "ok"}),
        Items({"games", "one", "games", "two"}),
        Items({"games", std::string("a\0b", 3)}),
        Items({"games", std::string("\0ab", 3)}),
        Items({"games", "", "x"}),
        Items({"games", longAnswer, "tail"}),
        Items({"games", std::string(200000, 'y')}),
        Items({"games"}) + Bytes({0, 0, 0, 9, 'a', 'b'}),
        Items({"abc", "def"}),
    };
    for (const std::string& body : bodies) {
        const std::string whole = FindValueAfterKey("games", AsBody(body));
        for (const std::size_t piece :
             {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{65536}, body.size()}) {
            const AnswerRoom room = ReceiveInPieces(body, piece);
            EXPECT_EQ(room.Bytes(), whole) << piece << "-byte pieces of " << body.size();
            EXPECT_EQ(room.Text(), std::string_view(whole).substr(0, whole.find('\0'))) << piece << "-byte pieces";
        }
    }
}

TEST(ReplyWalk, AServerThatProvedFastGetsOneRoomOfTheWholeAnswerOrTheKeptOne) {
    // A first piece of 1 MiB proves it: the answer then needs no more room than its length, where
    // growing would hold two rooms at once at each step. A kept room large enough is used instead of
    // a fresh one, and brings its own charge.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string answer(6 * kMiB + 3, 'a');
    const std::string body = Items({"games", answer});
    struct Case {
        const char* what;
        std::size_t limit;
        std::size_t kept;  // capacity of the room kept for the next long answer; 0 for none
        std::size_t room;  // capacity of the answer's room; 0 for no answer
    } cases[] = {
        {"exactly the answer's room", answer.size(), 0, answer.size()},
        {"a byte less", answer.size() - 1, 0, 0},
        {"a kept room large enough", 7 * kMiB, 7 * kMiB, 7 * kMiB},
        {"a kept room too small", 7 * kMiB, kMiB, answer.size()},
    };
    static AnswerBudget* keptBudget = nullptr;
    static std::size_t keptCapacity = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AnswerBudget budget(c.limit);
        keptBudget = &budget;
        keptCapacity = c.kept;
        const ReplyWalk::KeptRooms kept = [](std::size_t atLeast) noexcept {
            BudgetShare charge(*keptBudget);
            if (keptCapacity < atLeast || !charge.Grow(keptCapacity)) return AnswerRoom();
            return AnswerRoom::Make(keptCapacity, std::move(charge));
        };
        BudgetShare share(budget);
        AnswerRoom room;
        {
            ReplyWalk walk("games", body.size(), &share, kept);
            for (std::size_t at = 0; at < body.size(); at += kMiB) walk.Feed(AsBody(body.substr(at, kMiB)));
            room = walk.TakeRoom();
        }
        EXPECT_EQ(room.Bytes().size(), c.room != 0 ? answer.size() : 0u);
        EXPECT_EQ(room.Capacity(), c.room);
        EXPECT_EQ(room.Charge().Held(), c.room) << "the room carries its charge";
        EXPECT_EQ(budget.Held(), c.room);
        room = AnswerRoom();
        EXPECT_EQ(budget.Held(), 0u);
    }
}

TEST(ReplyWalk, OnlySoManyWalksHoldARoomOfTheirWholeAnswerWhileItFills) {
    // A server may prove fast and then trickle, holding its whole room until its idle limit: past the
    // bound, a walk's room grows with its bytes, until a walk that held one is done with it.
    constexpr std::size_t kMiB = std::size_t{1024} * 1024;
    const std::string answer(6 * kMiB, 'a');
    const std::string body = Items({"games", answer});
    const auto room = [](ReplyWalk& walk, std::size_t fed) { return fed - 13 + walk.AnswerTail().size(); };
    WholeRooms whole{2};
    std::optional<ReplyWalk> walks[3];
    for (std::optional<ReplyWalk>& walk : walks) {
        walk.emplace("games", body.size(), nullptr, nullptr, &whole);
        walk->Feed(AsBody(body.substr(0, kMiB)));
    }
    EXPECT_EQ(room(*walks[0], kMiB), answer.size());
    EXPECT_EQ(room(*walks[1], kMiB), answer.size());
    EXPECT_LT(room(*walks[2], kMiB), answer.size()) << "a third grows its room";
    EXPECT_EQ(whole.held, 2);
    walks[0]->Feed(AsBody(body.substr(kMiB)));
    EXPECT_EQ(walks[0]->TakeAnswer().size(), answer.size());
    EXPECT_EQ(whole.held, 1) << "a whole answer holds no more room than it fills";
    walks[1].reset();
    EXPECT_EQ(whole.held, 0) << "nor one whose exchange went";
    walks[2]->Feed(AsBody(body.substr(kMiB, kMiB)));
    EXPECT_EQ(room(*walks[2], 2 * kMiB), answer.size()) << "the third may now";
    EXPECT_EQ(whole.held, 1);
    walks[2].reset();
    EXPECT_EQ(whole.held, 0);
}

TEST(FirstZero, FindsTheFirstZeroByteAtEveryOffsetAlignmentAndLength) {
    // The scan goes sixty-four and sixteen bytes a step: each way a step can hold, start or end
    // short of the zero, for fillers whose bytes read as negative or as one.
    for (const unsigned char filler : {static_cast<unsigned char>(0x01), static_cast<unsigned char>(0xFF)}) {
        std::vector<unsigned char> bytes(16 + 200);
        for (std::size_t start = 0; start < 16; ++start) {
            for (std::size_t size = 0; size <= 200; ++size) {
                for (std::size_t zero = 0; zero <= size; zero += (size < 80 ? 1 : 7)) {
                    std::fill(bytes.begin(), bytes.end(), filler);
                    if (zero < size) bytes[start + zero] = 0;
                    if (zero + 1 < size) bytes[start + size - 1] = 0;          // a later zero changes nothing
                    if (start + size < bytes.size()) bytes[start + size] = 0;  // just past the end
                    ASSERT_EQ(FirstZero(bytes.data() + start, size), zero)
                        << "start " << start << ", size " << size << ", filler " << int{filler};
                }
            }
        }
    }
}

}  // namespace
}  // namespace orvane::wire
