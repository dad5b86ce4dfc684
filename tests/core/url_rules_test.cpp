#include "script/url_rules.hpp"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(TrailingQueryBlanks, RestoredAfterQueryOrFragmentOnly) {
    struct Case {
        const wchar_t* original;
        const wchar_t* canonical;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"http://h/p?a=b  ", L"http://h/p?a=b", L"http://h/p?a=b  "},
        {L"http://h/p?a=b  ", L"http://h/p?a=b ", L"http://h/p?a=b  "},
        {L"http://h/p?a=b  ", L"http://h/p?a=b  ", L"http://h/p?a=b  "},
        {L"http://h/p#f ", L"http://h/p#f", L"http://h/p#f "},
        {L"http://h/p?   ", L"http://h/p?", L"http://h/p?   "},
        {L"http://h/a b ", L"http://h/a%20b", L"http://h/a%20b"},
        {L"http://h/p?a=b", L"http://h/p?a=b", L"http://h/p?a=b"},
        {L"http://h/p?a=b  ", L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KeepTrailingQueryBlanks(c.original, c.canonical), c.expected)
            << testing::PrintToString(std::wstring(c.original));
    }
}

}  // namespace
}  // namespace orvane
