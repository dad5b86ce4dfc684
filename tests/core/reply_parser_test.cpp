#include "net/reply_parser.hpp"

#include "common/first_zero.hpp"
#include "net/answer_buffer_sink.hpp"
#include "net/wire.hpp"
#include "tests/support/whole_body.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::wire {
namespace {

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

// Feeds a body to the parser in pieces cut at the given offsets.
std::string ParseInPieces(const std::string& body, const std::vector<std::size_t>& cuts, std::uint64_t declared) {
    AnswerBufferSink sink;
    ReplyParser parser("games", declared, sink);
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        parser.Feed(AsBody(body).subspan(from, cut - from));
        from = cut;
    }
    parser.Feed(AsBody(body).subspan(from));
    return parser.TakeAnswer();
}

TEST(ReplyParser, AnswersAsTheWholeBodyParseDoesWhereverTheBodyIsCut) {
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
            EXPECT_EQ(ParseInPieces(body, {cut}, body.size()), whole) << "cut at " << cut << " of " << body.size();
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t cut = 1; cut < body.size(); ++cut) everyByte.push_back(cut);
        EXPECT_EQ(ParseInPieces(body, everyByte, body.size()), whole) << "byte by byte, " << body.size() << " bytes";
    }
}

// A body is often a long run of items of one length, which the parser may step over several at a time:
// an item of another length, or the key, anywhere in such a run is still seen, and no piece is read
// past its end, each piece being a block of its own.
TEST(ReplyParser, SeesEveryItemOfARunOfOneLengthWhereverTheOddOneIsAndTheBodyIsCut) {
    constexpr std::size_t kRun = 40;
    const auto parseInBlocks = [](const std::string& body, std::size_t cut) {
        AnswerBufferSink sink;
        ReplyParser parser("games", body.size(), sink);
        for (const auto& [from, to] : {std::pair{std::size_t{0}, cut}, std::pair{cut, body.size()}}) {
            const std::vector<unsigned char> piece(body.begin() + static_cast<std::ptrdiff_t>(from),
                                                   body.begin() + static_cast<std::ptrdiff_t>(to));
            parser.Feed(piece);
        }
        return parser.TakeAnswer();
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
                ASSERT_EQ(parseInBlocks(longer, cut), "ok")
                    << length << "-byte run, odd one at " << odd << ", cut at " << cut;
            }
            for (std::size_t cut = 0; cut <= keyed.size(); cut += 3) {
                ASSERT_EQ(parseInBlocks(keyed, cut), "found")
                    << length << "-byte run, key at " << odd << ", cut at " << cut;
            }
        }
    }
}

// The cause a failed parse names is the body's, not the pieces': the same whichever way it is cut.
TEST(ReplyParser, NamesWhyItFoundNoAnswerWhereverTheBodyIsCut) {
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
            AnswerBufferSink sink;
            ReplyParser parser("games", c.body.size(), sink);
            parser.Feed(AsBody(c.body).first(cut));
            parser.Feed(AsBody(c.body).subspan(cut));
            EXPECT_TRUE(parser.Failed()) << c.what << ", cut at " << cut;
            EXPECT_EQ(parser.Why(), c.why) << c.what << ", cut at " << cut;
        }
    }
}

TEST(ReplyParser, AnswersNothingUntilTheWholeDeclaredBodyHasArrived) {
    const std::string body = Items({"games", "ok"});
    AnswerBufferSink sink;
    ReplyParser parser("games", body.size() + 4, sink);
    parser.Feed(AsBody(body));
    EXPECT_TRUE(parser.Decided()) << "the answer is found";
    EXPECT_EQ(parser.TakeAnswer(), "") << "but a body that ends early is a failed exchange";
}

TEST(ReplyParser, TakesNoBytesBeyondTheDeclaredLength) {
    // Declared as the key and a 2-byte item; what follows belongs to nothing.
    const std::string body = Items({"games", "ok"}) + Items({"games", "xx"});
    EXPECT_EQ(ParseInPieces(body, {3}, Items({"games", "ok"}).size()), "ok");
    EXPECT_EQ(ParseInPieces(Items({"abc", "games", "ok"}), {}, Items({"abc"}).size()), "");
}

TEST(ReplyParser, KnowsAFailureAtTheFirstByteThatMakesIt) {
    // An item longer than what is left of the body cannot be stepped over, so nothing more is needed.
    AnswerBufferSink sink;
    ReplyParser parser("games", 1000, sink);
    parser.Feed(AsBody(Bytes({0, 0, 0x10, 0})));
    EXPECT_TRUE(parser.Failed());
    EXPECT_EQ(parser.TakeAnswer(), "");
}

// Receives the body as the exchange does: into the answer's buffer wherever the parser offers its tail,
// and through Feed elsewhere, at most `piece` bytes at a time.
AnswerBuffer ReceiveInPieces(const std::string& body, std::size_t piece) {
    AnswerBufferSink sink;
    ReplyParser parser("games", body.size(), sink);
    for (std::size_t at = 0; at < body.size();) {
        const std::span<unsigned char> tail = parser.AnswerTail();
        const std::size_t take = std::min({piece, body.size() - at, tail.empty() ? piece : tail.size()});
        if (tail.empty()) {
            parser.Feed(AsBody(body).subspan(at, take));
        } else {
            std::copy_n(body.data() + at, take, tail.data());
            parser.Received(take);
        }
        at += take;
    }
    return parser.TakeBuffer();
}

TEST(ReplyParser, AnswerReceivedIntoItsBufferIsTheParsedOneAndScriptsSeeItUpToItsFirstZeroByte) {
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
            const AnswerBuffer buffer = ReceiveInPieces(body, piece);
            EXPECT_EQ(buffer.Bytes(), whole) << piece << "-byte pieces of " << body.size();
            EXPECT_EQ(buffer.Text(), std::string_view(whole).substr(0, whole.find('\0'))) << piece << "-byte pieces";
        }
    }
}

// A sink that keeps what the parser hands it, with a buffer larger than any answer here.
class KeepingSink final : public AnswerSink {
public:
    void PieceCame(std::size_t bytes) noexcept override { pieces.push_back(bytes); }
    std::optional<Failure> Open(std::size_t length) noexcept override {
        opened.push_back(length);
        return std::nullopt;
    }
    std::optional<Failure> Append(std::span<const unsigned char> bytes) noexcept override {
        kept.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return std::nullopt;
    }
    std::span<unsigned char> Tail() noexcept override { return std::span(buffer).subspan(kept.size()); }
    void ReceivedIntoTail(std::size_t count) noexcept override {
        pieces.push_back(count);
        kept.append(reinterpret_cast<const char*>(buffer.data() + kept.size()), count);
    }
    void Scan() noexcept override {}
    void Decided() noexcept override { ++decided; }
    std::string TakeText() override { return kept; }
    AnswerBuffer TakeBuffer() noexcept override { return {}; }

    std::vector<std::size_t> pieces;
    std::vector<std::size_t> opened;
    std::string kept;
    int decided = 0;
    std::array<unsigned char, 64> buffer{};
};

// The sink learns the answer's length and gets its bytes, and no others, whichever way they come; a
// buffer that runs past the answer is offered only as far as the answer goes, and an empty answer is
// offered none at all.
TEST(ReplyParser, HandsTheSinkTheAnswersBytesAloneAndItsBufferOnlyAsFarAsTheAnswerGoes) {
    const std::string body = Items({"abc", "games", "12345", "tail"});
    const std::size_t answerAt = Items({"abc", "games"}).size() + 4;
    KeepingSink sink;
    {
        ReplyParser parser("games", body.size(), sink);
        parser.Feed(AsBody(body).first(answerAt + 2));
        const std::span<unsigned char> tail = parser.AnswerTail();
        ASSERT_EQ(tail.size(), 3u) << "what is left of the answer, not the buffer's 62 bytes";
        std::copy_n(body.data() + answerAt + 2, 3, tail.data());
        parser.Received(3);
        EXPECT_TRUE(parser.Decided());
        EXPECT_TRUE(parser.AnswerTail().empty());
        parser.Feed(AsBody(body).subspan(answerAt + 5));
        EXPECT_EQ(parser.TakeAnswer(), "12345");
    }
    EXPECT_EQ(sink.opened, std::vector<std::size_t>{5});
    EXPECT_EQ(sink.kept, "12345");
    EXPECT_EQ(sink.pieces, (std::vector<std::size_t>{answerAt + 2, 3, body.size() - answerAt - 5}));
    EXPECT_EQ(sink.decided, 1);

    const std::string empty = Items({"games", "", "x"});
    KeepingSink none;
    ReplyParser parser("games", empty.size(), none);
    parser.Feed(AsBody(empty));
    EXPECT_TRUE(none.opened.empty());
    EXPECT_EQ(none.decided, 1);
    EXPECT_EQ(parser.TakeAnswer(), "");
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
