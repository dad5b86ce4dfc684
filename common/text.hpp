// Text conversions at the script boundary: scripts speak UTF-8, the platform speaks UTF-16, and one
// report still goes out in the system's ANSI code page.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

std::wstring Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::wstring_view utf16);
// Characters the ANSI code page cannot represent become the platform's default character.
std::string Utf16ToAnsi(std::wstring_view utf16);

}  // namespace orvane
