#include "net/wire.hpp"

#include "tests/support/whole_body.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvane::wire {
namespace {

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

}  // namespace
}  // namespace orvane::wire
