// Plays the running game client's part: another process holding a named mutex.
//   orvane-mutex-holder hold NAME STOPFILE  creates and owns the mutex, prints "ready", waits (at most
//                                    60 s) until STOPFILE exists, then prints "owned" if it still owned
//                                    the mutex (ReleaseMutex succeeds only for the owner) or "not-owned".
//   orvane-mutex-holder probe NAME   exit status 0: held by another process, 1: free, 2: absent.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "common/win_handles.hpp"

constexpr char kUsage[] = "usage: orvane-mutex-holder hold NAME STOPFILE | probe NAME\n";

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--help") == 0) {
        std::printf("%s", kUsage);
        return 0;
    }
    if (argc == 4 && std::wcscmp(argv[1], L"hold") == 0) {
        const orvane::UniqueKernelHandle mutex(::CreateMutexW(nullptr, TRUE, argv[2]));
        if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) {
            std::printf("cannot-create\n");
            return 3;
        }
        std::printf("ready\n");
        std::fflush(stdout);
        for (int waited = 0; waited < 60000; waited += 20) {
            if (::GetFileAttributesW(argv[3]) != INVALID_FILE_ATTRIBUTES) break;
            ::Sleep(20);
        }
        std::printf(::ReleaseMutex(mutex.get()) ? "owned\n" : "not-owned\n");
        std::fflush(stdout);
        return 0;
    }
    if (argc == 3 && std::wcscmp(argv[1], L"probe") == 0) {
        const orvane::UniqueKernelHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, argv[2]));
        if (!mutex) return 2;
        const DWORD wait = ::WaitForSingleObject(mutex.get(), 0);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ::ReleaseMutex(mutex.get());
        return wait == WAIT_TIMEOUT ? 0 : 1;
    }
    std::fprintf(stderr, "%s", kUsage);
    return 64;
}
