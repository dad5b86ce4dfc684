// The host utilities' methods: programs, the timed GET, the foreground window and the host's logs.
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "common/win_handles.hpp"
#include "script/http_get.hpp"
#include "script/script_object.hpp"
#include "script/shell.hpp"

namespace orvane {
namespace {

// The host's log folder and its own log names; the host writes them, the add-in only clears them.
constexpr wchar_t kHostLogFolder[] = L"C:\\JOTTLE\\";
constexpr wchar_t kHostLogPattern[] = L"JOTTLE.Kestrin[*].*.log";

}  // namespace

// The runtime's factory calls this, and no exception may reach the runtime: so it allocates nothing,
// and a name too long for the path is left alone.
void RemoveHostLogs() noexcept {
    constexpr std::size_t kFolderLength = std::size(kHostLogFolder) - 1;
    wchar_t path[kFolderLength + MAX_PATH] = {};
    std::copy_n(kHostLogFolder, kFolderLength, path);
    const auto inFolder = [&path](const wchar_t* name) {
        const std::size_t length = ::wcsnlen(name, MAX_PATH);
        if (length == MAX_PATH) return false;
        std::copy_n(name, length + 1, path + kFolderLength);
        return true;
    };
    WIN32_FIND_DATAW entry{};
    (void)inFolder(kHostLogPattern);
    UniqueFind search(::FindFirstFileW(path, &entry));
    if (!search) return;  // nothing to remove: leave the folder alone
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && inFolder(entry.cFileName)) ::DeleteFileW(path);
    } while (::FindNextFileW(search.get(), &entry));
    search.reset();
    // Succeeds only once nothing else is left in it, which is the point.
    ::RemoveDirectoryW(kHostLogFolder);
}

void ScriptObject::RemoveLog() { RemoveHostLogs(); }

// The host's scripts may log through the add-in; this build keeps no log, so the line goes nowhere.
void ScriptObject::LogPrint(const std::wstring& /*text*/) {}

bool ScriptObject::ExecuteExternal(const std::wstring& path, const std::wstring& parameters) {
    if (path.empty()) return false;
    // The file type's own default verb, unlike the client launches, which always "open".
    return ShellRun(nullptr, path, parameters, SW_SHOW);
}

// The script gives milliseconds as any integer; -1 arrives as INFINITE, 0 only looks.
bool ScriptObject::SyncHttpRequest(const std::wstring& url, lua_Integer timeLimitMs) {
    return GetWithinLimit(url, static_cast<DWORD>(timeLimitMs));
}

bool ScriptObject::IsWindowForeground(void* window) { return ::GetForegroundWindow() == static_cast<HWND>(window); }

}  // namespace orvane
