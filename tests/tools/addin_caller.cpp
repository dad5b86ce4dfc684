// A second process next to a running host, as the setup program and a diagnostic tool would be:
//   addin_caller.exe ADDIN_PATH READY_FILE DONE_FILE [SETUP_FIRST SETUP_SECOND]
// Waits (bounded) until READY_FILE exists, which the host's script writes once it is ready to be
// called, then finds the host's message window, sends it the setup program's status message when the
// two numbers are given, loads the add-in into this process and calls its export Test, which finds
// the host's window by name and sends it the speed-limit message: the host's handler has run when
// Test returns. Prints one line ("test returned N", or what failed), also written to DONE_FILE so a
// host that must keep serving its messages can wait for the file instead of a pipe. Exit status 0
// when Test was called.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "done_line.hpp"
#include "tests/support/time_scale.hpp"

namespace {

using tool::Finish;

constexpr wchar_t kMessageWindowName[] = L"OrvaneMessageOnlyWindow";
constexpr UINT kSetupStatusMessage = WM_USER + 0x302;
// The host may take a while to start on a loaded machine.
constexpr DWORD kWaitMs = 120000;

bool WaitForFile(const char* path) {
    const ULONGLONG deadline = ::GetTickCount64() + orvane::test::TimeScaled(kWaitMs);
    for (;;) {
        if (::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(100);
    }
}

// LOAD_WITH_ALTERED_SEARCH_PATH wants a full path with backslashes; the module's own import, the
// host runtime, is then found beside it as it is in the host's folder.
std::string WindowsPath(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr, "usage: addin_caller ADDIN_PATH READY_FILE DONE_FILE [SETUP_FIRST SETUP_SECOND]\n");
        return 2;
    }
    tool::g_doneFile = argv[3];
    if (!WaitForFile(argv[2])) return Finish("the host never got ready", 1);
    HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, kMessageWindowName, kMessageWindowName);
    if (window == nullptr) return Finish("no window", 1);
    if (argc == 6) {
        // As a 32-bit setup program sends them: wParam unsigned, lParam signed.
        const auto first = static_cast<WPARAM>(static_cast<std::uint32_t>(std::strtoll(argv[4], nullptr, 0)));
        const auto second = static_cast<LPARAM>(static_cast<std::int32_t>(std::strtoll(argv[5], nullptr, 0)));
        DWORD_PTR ignored = 0;
        if (::SendMessageTimeoutW(window, kSetupStatusMessage, first, second, SMTO_NORMAL, kWaitMs, &ignored) == 0) {
            return Finish("setup status not delivered", 1);
        }
    }
    const std::string path = WindowsPath(argv[1]);
    HMODULE addin = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (addin == nullptr) return Finish("cannot load " + path + " (error " + std::to_string(::GetLastError()) + ")", 1);
    using TestEntry = int(WINAPI*)();
    // Through the one function type the compiler accepts as a stand-in for any other.
    const auto test = reinterpret_cast<TestEntry>(reinterpret_cast<void (*)()>(::GetProcAddress(addin, "Test")));
    if (test == nullptr) return Finish("no export Test", 1);
    return Finish("test returned " + std::to_string(test()), 0);
}
