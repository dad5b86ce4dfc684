// Stands in for a program the add-in starts. It writes what it was started with to the file named
// like itself plus ".txt": the raw command line on the first line and the show command on the second
// (-1 when the starter gave none). Tests copy it under a name of their own so runs never share a file.
#include <windows.h>

#include <string>

#include "common/text.hpp"
#include "common/win_handles.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 2;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : -1;
    const std::string record = orvane::Utf16ToUtf8(::GetCommandLineW()) + "\n" + std::to_string(show) + "\n";
    // Written to a temporary name first, so a reader never sees half a record.
    const std::wstring target = std::wstring(self) + L".txt";
    const std::wstring partial = target + L".part";
    const HANDLE created =
        ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) return 3;
    orvane::UniqueKernelHandle file(created);
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file.get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    file.reset();  // opened unshared: the rename needs it closed
    if (!ok || !::MoveFileExW(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return 4;
    return 0;
}
