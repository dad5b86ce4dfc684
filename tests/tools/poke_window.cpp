// Sends or posts one message to the add-in's message window from another process, as a forger would:
//   poke_window.exe send|post MESSAGE WPARAM LPARAM [DONE_FILE]
// Numbers may be decimal or 0x-hex. Prints "sent RESULT", "posted" or "no window"; exit status 0
// when the message went out. DONE_FILE, if given, is written with the same line at the end, so a
// caller that must keep serving its messages can wait for it instead of blocking on the output.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
const char* g_doneFile = nullptr;

int Finish(const std::string& line, int status) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (g_doneFile != nullptr) {
        if (FILE* f = std::fopen(g_doneFile, "w")) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fclose(f);
        }
    }
    return status;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: poke_window send|post MESSAGE WPARAM LPARAM [DONE_FILE]\n");
        return 2;
    }
    if (argc == 6) g_doneFile = argv[5];
    const auto message = static_cast<UINT>(std::strtoul(argv[2], nullptr, 0));
    const auto wParam = static_cast<WPARAM>(std::strtoull(argv[3], nullptr, 0));
    const auto lParam = static_cast<LPARAM>(std::strtoll(argv[4], nullptr, 0));
    HWND window = ::FindWindowW(L"OrvaneMessageOnlyWindow", L"OrvaneMessageOnlyWindow");
    if (window == nullptr) return Finish("no window", 1);
    if (std::strcmp(argv[1], "post") == 0) {
        const bool posted = ::PostMessageW(window, message, wParam, lParam) != 0;
        return Finish(posted ? "posted" : "not posted", posted ? 0 : 1);
    }
    DWORD_PTR result = 0;
    if (::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 20000, &result) == 0) {
        return Finish("send failed", 1);
    }
    return Finish("sent " + std::to_string(result), 0);
}
