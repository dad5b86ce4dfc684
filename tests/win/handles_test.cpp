// The owning handle wrapper: whichever way a handle is closed, the caller's last error survives it.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "common/win_handles.hpp"

namespace orvane {
namespace {

int g_closes = 0;

// A close that fails and says so, as closing a handle the system no longer knows does.
BOOL WINAPI FailingClose(HANDLE) {
    ++g_closes;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

using UniqueTestHandle = UniqueHandle<HANDLE, FailingClose>;

HANDLE Fake(int n) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x1000 + 4 * n)); }

TEST(UniqueHandle, EveryWayOfClosingKeepsTheLastErrorOfTheFailureBeingReported) {
    struct Case {
        const char* what;
        std::function<void()> close;
    };
    const Case cases[] = {
        {"reset", [] { UniqueTestHandle(Fake(1)).reset(); }},
        {"reset to another handle",
         [] {
             UniqueTestHandle handle(Fake(1));
             handle.reset(Fake(2));
             static_cast<void>(handle.release());
         }},
        {"end of scope", [] { UniqueTestHandle handle(Fake(1)); }},
        {"move assignment",
         [] {
             UniqueTestHandle target(Fake(1));
             target = UniqueTestHandle();
         }},
        {"put", [] { static_cast<void>(UniqueTestHandle(Fake(1)).put()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_closes = 0;
        ::SetLastError(ERROR_ACCESS_DENIED);
        c.close();
        EXPECT_EQ(g_closes, 1) << "the handle was closed";
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
}

}  // namespace
}  // namespace orvane
