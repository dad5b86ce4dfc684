#include "script/client_rules.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

TEST(ClientSwitches, ComposedInFixedOrderWithDefaultStartFrom) {
    struct Case {
        const wchar_t* user;
        const wchar_t* jump;
        const wchar_t* game;
        const wchar_t* from;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"", L"", L"", L"", L" /b_startfrom vemo7"},
        {L"", L"", L"", L"tag1", L" /b_startfrom tag1"},
        {L"u1", L"", L"42", L"", L" /b_username u1 /b_gameid 42 /b_startfrom vemo7"},
        {L"u1", L"k", L"42", L"t", L" /b_username u1 /b_jumpkey k /b_gameid 42 /b_startfrom t"},
        {L"", L"k", L"", L"", L" /b_jumpkey k /b_startfrom vemo7"},
        {L"a b", L"", L"", L"x y", L" /b_username a b /b_startfrom x y"},
        {L"\"q\"", L"", L"", L"", L" /b_username \"q\" /b_startfrom vemo7"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ComposeClientSwitches(c.user, c.jump, c.game, c.from), c.expected)
            << "user=" << testing::PrintToString(std::wstring(c.user))
            << " from=" << testing::PrintToString(std::wstring(c.from));
    }
}

std::vector<std::uint8_t> Utf16Bytes(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

TEST(RegistryString, OnlyNulTerminatedStringsThatFitAreText) {
    const std::u16string text259(259, u'p');
    const std::u16string text260(260, u'p');
    struct Case {
        const char* what;
        std::uint32_t type;
        std::vector<std::uint8_t> bytes;
        std::u16string expected;
    };
    const Case cases[] = {
        {"plain REG_SZ", 1, Utf16Bytes(std::u16string(u"C:\\Game", 8)), u"C:\\Game"},
        {"REG_EXPAND_SZ stays unexpanded", 2, Utf16Bytes(std::u16string(u"%TEMP%\\x", 9)), u"%TEMP%\\x"},
        {"non-ASCII text", 1, Utf16Bytes(std::u16string(u"D:\\\u6E38\u620F", 6)), u"D:\\\u6E38\u620F"},
        {"REG_DWORD", 4, {1, 0, 0, 0}, u""},
        {"REG_MULTI_SZ", 7, Utf16Bytes(std::u16string(u"a\0b\0\0", 5)), u""},
        {"REG_BINARY holding a string", 3, Utf16Bytes(std::u16string(u"abc", 4)), u""},
        {"zero bytes", 1, {}, u""},
        {"NUL in the middle", 1, Utf16Bytes(std::u16string(u"ab\0cd", 6)), u"ab"},
        {"odd byte count", 1, {'a', 0, 'b', 0, 0, 0, 0}, u""},
        {"no terminating NUL", 1, Utf16Bytes(u"abc"), u""},
        {"only a NUL", 1, {0, 0}, u""},
        {"high byte of the last unit set", 1, {'a', 0, 0, 1}, u""},
        {"259 characters and NUL", 1, Utf16Bytes(text259 + u'\0'), text259},
        {"260 characters and NUL", 1, Utf16Bytes(text260 + u'\0'), u""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AcceptRegistryString(c.type, c.bytes), c.expected) << c.what;
    }
}

TEST(DriveList, RootsUpToTheEmptyOneOrTheBufferEnd) {
    using namespace std::literals;
    const std::wstring list = L"A:\\\0C:\\\0D:\\\0\0"s;
    EXPECT_EQ(SplitDriveList(list, static_cast<std::uint32_t>(list.size() - 1)),
              (std::vector<std::wstring>{L"A:\\", L"C:\\", L"D:\\"}));
    // A buffer without the closing empty root still ends the walk, and nothing past it is read.
    const std::wstring unterminated = L"C:\\\0D:\\"s;
    EXPECT_EQ(SplitDriveList(unterminated, static_cast<std::uint32_t>(unterminated.size())),
              (std::vector<std::wstring>{L"C:\\", L"D:\\"}));
    EXPECT_TRUE(SplitDriveList(list, 0).empty()) << "the filling call failed";
    EXPECT_TRUE(SplitDriveList(list, static_cast<std::uint32_t>(list.size() + 4)).empty())
        << "a drive appeared between the two calls";
    EXPECT_TRUE(SplitDriveList(L"\0\0"sv, 1).empty());
}

TEST(DownloadDrive, FixedDriveWithMostFreeBytesFirstOnTies) {
    constexpr std::uint32_t kRemovable = 2, kRemote = 4, kCdRom = 5, kRamDisk = 6;
    constexpr std::uint64_t kBig = 0xFFFF'FFFF'0000'0000ull;
    struct Case {
        const char* what;
        std::vector<DriveInfo> drives;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"no drives", {}, L""},
        {"most free wins",
         {{L"C:\\", kDriveFixed, 10}, {L"D:\\", kDriveFixed, 30}, {L"E:\\", kDriveFixed, 20}},
         L"D:\\"},
        {"tie goes to the first listed", {{L"C:\\", kDriveFixed, 30}, {L"D:\\", kDriveFixed, 30}}, L"C:\\"},
        {"zero free bytes is never chosen", {{L"C:\\", kDriveFixed, 0}}, L""},
        {"removable with more space is passed over", {{L"C:\\", kDriveFixed, 5}, {L"F:\\", kRemovable, 500}}, L"C:\\"},
        {"network, optical and RAM drives are passed over",
         {{L"N:\\", kRemote, 9}, {L"R:\\", kCdRom, 9}, {L"M:\\", kRamDisk, 9}},
         L""},
        {"unreadable free space skips only that drive",
         {{L"C:\\", kDriveFixed, std::nullopt}, {L"D:\\", kDriveFixed, 1}},
         L"D:\\"},
        {"counts compared as unsigned 64-bit",
         {{L"C:\\", kDriveFixed, 0x7FFF'FFFF'FFFF'FFFFull}, {L"D:\\", kDriveFixed, kBig}},
         L"D:\\"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChooseDownloadDrive(c.drives), c.expected) << c.what;
    }
}

TEST(DownloadFolder, SubPathAfterTheRootOrAlone) {
    EXPECT_EQ(DownloadFolder(L"C:\\"), L"C:\\Kestrin\u6E38\u620F\\ToluDownload\\");
    EXPECT_EQ(DownloadFolder(L""), L"Kestrin\u6E38\u620F\\ToluDownload\\");
}

}  // namespace
}  // namespace orvane
