// The registry read behind IsOrvaneSetup and LaunchOrvane, in-process: the exact text it yields,
// which no script method shows.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script/game_client_methods.hpp"

namespace orvane {
namespace {

// A key of this test run's own, so parallel runs and the script tests never meet.
class ScratchKey {
public:
    ScratchKey() : path_(L"SOFTWARE\\OrvaneTests\\registry-read-" + std::to_wstring(::GetCurrentProcessId())) {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    }
    ~ScratchKey() {
        ::RegCloseKey(key_);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    const std::wstring& path() const { return path_; }

    // Stores exactly these bytes; what follows them in memory is not a NUL, so the system cannot
    // take one for part of the value.
    void Set(const wchar_t* name, DWORD type, std::vector<BYTE> bytes) {
        const auto count = static_cast<DWORD>(bytes.size());
        bytes.push_back(0xFF);
        bytes.push_back(0xFF);
        ASSERT_EQ(::RegSetValueExW(key_, name, 0, type, bytes.data(), count), ERROR_SUCCESS);
    }

private:
    std::wstring path_;
    HKEY key_ = nullptr;
};

std::vector<BYTE> Bytes(const std::wstring& text) {
    std::vector<BYTE> bytes;
    for (wchar_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

// Which values count as text is pinned by the core and the script tests; what only shows here is
// the text itself.
TEST(ReadUserRegistryString, YieldsTheStoredTextUpToItsFirstNul) {
    using namespace std::literals;
    ScratchKey key;
    struct Case {
        const char* what;
        DWORD type;
        std::vector<BYTE> bytes;
        std::wstring expected;
    };
    const Case cases[] = {
        {"REG_SZ", REG_SZ, Bytes(L"C:\\Games\\Orvane\0"s), L"C:\\Games\\Orvane"},
        {"REG_EXPAND_SZ unexpanded", REG_EXPAND_SZ, Bytes(L"%WINDIR%\\orvane\0"s), L"%WINDIR%\\orvane"},
        {"non-ASCII", REG_SZ, Bytes(L"D:\\\u6E38\u620F\0"s), L"D:\\\u6E38\u620F"},
        {"a NUL in the middle", REG_SZ, Bytes(L"C:\\a\0tail\0"s), L"C:\\a"},
        {"no terminating NUL", REG_SZ, Bytes(L"C:\\Games"), L""},
    };
    for (const Case& c : cases) {
        key.Set(L"Value", c.type, c.bytes);
        EXPECT_EQ(ReadUserRegistryString(key.path(), L"Value"), c.expected) << c.what;
    }
    EXPECT_EQ(ReadUserRegistryString(key.path(), L"Absent"), L"") << "missing value";
    EXPECT_EQ(ReadUserRegistryString(key.path() + L"\\Absent", L"Value"), L"") << "missing key";
}

}  // namespace
}  // namespace orvane
