// Starting programs and documents through the shell.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <string>

namespace orvane {

// INTERNET_MAX_URL_LENGTH: the longest name a script can mean, a web address included.
inline constexpr std::size_t kLongestShellName = 2083;

// No owner window and no working folder: the started program runs on its own and nothing waits for
// it. The shell answers a status dressed as an instance handle; above 32 means it took the request.
inline bool ShellRun(const wchar_t* verb, const std::wstring& file, const std::wstring& parameters, int show) {
    // Nothing the shell opens is named by more than a URL's worth of characters, and shells copy the
    // name into buffers of fixed size (Wine's overflows its stack from about a thousand): a longer
    // name is refused here as the failure it would be at best.
    if (file.size() > kLongestShellName) return false;
    HINSTANCE result = ::ShellExecuteW(nullptr, verb, file.c_str(), parameters.c_str(), nullptr, show);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace orvane
