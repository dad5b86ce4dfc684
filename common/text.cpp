#include "common/text.hpp"

#include <windows.h>

#include <climits>

namespace orvane {
namespace {

// One UTF-16 unit never needs more than three bytes in UTF-8 or in any ANSI code page, and one
// input byte never yields more than one UTF-16 unit, so each output is sized once and never grows.
std::string Narrow(UINT codePage, std::wstring_view utf16) {
    if (utf16.empty() || utf16.size() > INT_MAX / 3) return {};
    std::string out(utf16.size() * 3, '\0');
    const int written = ::WideCharToMultiByte(codePage, 0, utf16.data(), static_cast<int>(utf16.size()), out.data(),
                                              static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

}  // namespace

std::wstring Utf8ToUtf16(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > INT_MAX) return {};
    std::wstring out(utf8.size(), L'\0');
    const int written = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(),
                                              static_cast<int>(out.size()));
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

std::string Utf16ToUtf8(std::wstring_view utf16) { return Narrow(CP_UTF8, utf16); }

std::string Utf16ToAnsi(std::wstring_view utf16) { return Narrow(CP_ACP, utf16); }

}  // namespace orvane
