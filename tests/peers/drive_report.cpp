// Lists the drives as a script cannot see them: one line per drive letter in use, in letter order,
// "ROOT TYPE FREE" with FREE the bytes available to the user, or "-" when they cannot be read.
#include <windows.h>

#include <cstdio>

int wmain() {
    const DWORD letters = ::GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if ((letters & (1u << i)) == 0) continue;
        const wchar_t root[] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', L'\0'};
        const UINT type = ::GetDriveTypeW(root);
        ULARGE_INTEGER available{};
        if (::GetDiskFreeSpaceExW(root, &available, nullptr, nullptr)) {
            std::printf("%ls %u %llu\n", root, type, static_cast<unsigned long long>(available.QuadPart));
        } else {
            std::printf("%ls %u -\n", root, type);
        }
    }
    return 0;
}
