// Plays the client's setup program: posts a message to the add-in's message window of the process
// that started this one (directly or through the command interpreter), so parallel hosts never
// receive each other's messages.
//   window_poster MESSAGE WPARAM LPARAM   numbers in decimal or 0x hex; exit 0 once posted
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

namespace {

DWORD ParentOf(DWORD pid) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == pid) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    ::CloseHandle(snapshot);
    return parent;
}

HWND MessageWindowOf(DWORD pid) {
    HWND window = nullptr;
    while ((window = ::FindWindowExW(HWND_MESSAGE, window, L"OrvaneMessageOnlyWindow", nullptr)) != nullptr) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (owner == pid) return window;
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: window_poster MESSAGE WPARAM LPARAM\n");
        return 64;
    }
    const auto message = static_cast<UINT>(std::wcstoul(argv[1], nullptr, 0));
    const auto wParam = static_cast<WPARAM>(std::wcstoull(argv[2], nullptr, 0));
    const auto lParam = static_cast<LPARAM>(std::wcstoll(argv[3], nullptr, 0));
    DWORD pid = ::GetCurrentProcessId();
    for (int level = 0; level < 4 && pid != 0; ++level) {
        pid = ParentOf(pid);
        if (HWND window = MessageWindowOf(pid)) return ::PostMessageW(window, message, wParam, lParam) ? 0 : 1;
    }
    return 2;
}
