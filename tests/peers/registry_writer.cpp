// Writes the values the tests need, byte for byte, including the malformed ones no installer tool
// would write (odd byte counts, no terminating NUL). KEY is under HKEY_CURRENT_USER unless it starts
// with HKLM\ (file types are looked up there).
//   registry_writer set KEY NAME TYPE HEX   value NAME ("" for the default) of numeric TYPE with the
//                                           bytes spelled in HEX ("-" for zero bytes)
//   registry_writer delete KEY              the key and everything under it (absent is fine)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool ParseHex(const wchar_t* text, std::vector<BYTE>& bytes) {
    if (std::wcscmp(text, L"-") == 0) return true;
    const std::size_t length = std::wcslen(text);
    if (length % 2 != 0) return false;
    for (std::size_t i = 0; i < length; i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return true;
}

// The root a key names, and the key's path below it.
HKEY SplitRoot(const wchar_t*& key) {
    if (std::wcsncmp(key, L"HKLM\\", 5) == 0) {
        key += 5;
        return HKEY_LOCAL_MACHINE;
    }
    return HKEY_CURRENT_USER;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 6 && std::wcscmp(argv[1], L"set") == 0) {
        std::vector<BYTE> bytes;
        if (!ParseHex(argv[5], bytes)) return 64;
        const wchar_t* path = argv[2];
        const HKEY root = SplitRoot(path);
        HKEY key = nullptr;
        if (::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return 1;
        }
        const DWORD type = static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10));
        const auto count = static_cast<DWORD>(bytes.size());
        // The system counts a NUL that follows a string's data as part of it; non-zero bytes behind
        // the data keep a value without its NUL as it was meant.
        bytes.push_back(0xFF);
        bytes.push_back(0xFF);
        const LONG result = ::RegSetValueExW(key, argv[3], 0, type, bytes.data(), count);
        ::RegCloseKey(key);
        return result == ERROR_SUCCESS ? 0 : 1;
    }
    if (argc == 3 && std::wcscmp(argv[1], L"delete") == 0) {
        const wchar_t* path = argv[2];
        const HKEY root = SplitRoot(path);
        const LONG result = ::RegDeleteTreeW(root, path);
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? 0 : 1;
    }
    std::fprintf(stderr, "usage: registry_writer set KEY NAME TYPE HEX | delete KEY\n");
    return 64;
}
