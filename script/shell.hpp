// Starting programs and documents through the shell.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace orvane {

// No owner window and no working folder: the started program runs on its own and nothing waits for
// it. The shell answers a status dressed as an instance handle; above 32 means it took the request.
inline bool ShellRun(const wchar_t* verb, const std::wstring& file, const std::wstring& parameters, int show) {
    const HINSTANCE result = ::ShellExecuteW(nullptr, verb, file.c_str(), parameters.c_str(), nullptr, show);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace orvane
