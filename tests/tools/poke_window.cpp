// Sends or posts one message to the add-in's message window from another process, as a forger would:
//   poke_window.exe send|post MESSAGE WPARAM LPARAM [DONE_FILE]
// Numbers may be decimal or 0x-hex. Prints "sent RESULT", "posted" or "no window"; exit status 0
// when the message went out. DONE_FILE, if given, is written with the same line at the end, so a
// caller that must keep serving its messages can wait for it instead of blocking on the output.
//   poke_window.exe spray COUNT SEED [DONE_FILE]
// Sends and posts, in turn, COUNT forged deliveries (0x401 and 0x402 in turn) whose parameters are
// drawn from SEED: small numbers, any 64 bits, and values shaped like heap addresses. Prints
// "sprayed COUNT" when every one went out.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "done_line.hpp"

namespace {

using tool::Finish;
}  // namespace

// splitmix64: the same seed gives the same forgeries on every run.
std::uint64_t Next(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

std::uint64_t Forgery(std::uint64_t& state) {
    const std::uint64_t r = Next(state);
    switch (r % 4) {
        case 0: return r >> 48;                                    // a small number
        case 1: return Next(state);                                // anything at all
        case 2: return (r >> 8) & 0xFFFFFFF8u;                     // an aligned address below 4 GiB
        default: return 0x100000u + ((r >> 4) & 0x7FFFFFFFFFF8u);  // an aligned user-space address
    }
}

int Spray(HWND window, unsigned long count, std::uint64_t seed) {
    for (unsigned long i = 0; i < count; ++i) {
        const UINT message = i % 2 == 0 ? 0x401u : 0x402u;
        const auto wParam = static_cast<WPARAM>(Forgery(seed));
        const auto lParam = static_cast<LPARAM>(Forgery(seed));
        if ((i / 2) % 2 == 0) {
            DWORD_PTR result = 0;
            if (::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, 20000, &result) == 0) {
                return Finish("send " + std::to_string(i) + " failed", 1);
            }
        } else if (!::PostMessageW(window, message, wParam, lParam)) {
            return Finish("post " + std::to_string(i) + " failed", 1);
        }
    }
    return Finish("sprayed " + std::to_string(count), 0);
}

int main(int argc, char** argv) {
    if (argc >= 4 && argc <= 5 && std::strcmp(argv[1], "spray") == 0) {
        if (argc == 5) tool::g_doneFile = argv[4];
        HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, L"OrvaneMessageOnlyWindow", L"OrvaneMessageOnlyWindow");
        if (window == nullptr) return Finish("no window", 1);
        return Spray(window, std::strtoul(argv[2], nullptr, 0), std::strtoull(argv[3], nullptr, 0));
    }
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr,
                     "usage: poke_window send|post MESSAGE WPARAM LPARAM [DONE_FILE]\n"
                     "       poke_window spray COUNT SEED [DONE_FILE]\n");
        return 2;
    }
    if (argc == 6) tool::g_doneFile = argv[5];
    const auto message = static_cast<UINT>(std::strtoul(argv[2], nullptr, 0));
    const auto wParam = static_cast<WPARAM>(std::strtoull(argv[3], nullptr, 0));
    const auto lParam = static_cast<LPARAM>(std::strtoll(argv[4], nullptr, 0));
    HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, L"OrvaneMessageOnlyWindow", L"OrvaneMessageOnlyWindow");
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
