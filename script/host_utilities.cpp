// Services of the local machine that have nothing to do with the game client.
#include "script/host_utilities.hpp"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "common/win_handles.hpp"
#include "common/worker.hpp"
#include "script/script_object.hpp"
#include "script/shell.hpp"
#include "script/url_rules.hpp"

namespace orvane {
namespace {

// Nothing may be cached or answered from a cache, and no dialog may ever appear in the host.
constexpr DWORD kOpenUrlFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;

// Requests that outlived their caller's limit and still run. Each holds a thread and a connection
// until its server lets go, which may be never, so only so many may run on: kLatePerHost for one host
// and kLateInAll in all. While a host has its share, a new request to it answers false at once, as it
// would at its limit, since its server has not answered the ones before; other hosts are not held up
// by one that is dead. Only the script thread calls SyncHttpRequest, so only it touches the list.
constexpr std::size_t kLatePerHost = 4;
constexpr std::size_t kLateInAll = 32;

struct LateRequest {
    std::wstring host;
    unique_kernel_handle thread;
};
std::vector<LateRequest> g_late;

// Whether one more request to this host may start, once the late ones that have ended are let go.
bool MayStart(const std::wstring& host) {
    std::erase_if(g_late, [](const LateRequest& late) { return ::WaitForSingleObject(late.thread.get(), 0) == WAIT_OBJECT_0; });
    const auto sameHost = std::count_if(g_late.begin(), g_late.end(), [&](const LateRequest& late) { return late.host == host; });
    return static_cast<std::size_t>(sameHost) < kLatePerHost && g_late.size() < kLateInAll;
}

// Thread procedure of SyncHttpRequest: owns the URL copy it is given; the body is read and dropped.
void SyncHttpWorker(void* urlCopy) {
    std::unique_ptr<std::wstring> copy(static_cast<std::wstring*>(urlCopy));
    const std::wstring url = std::move(*copy);
    copy.reset();
    // Nothing may leave a thread procedure; running out of memory for the URL's canonical form ends it.
    try {
        HttpGet(url);
    } catch (...) {}
}

}  // namespace

std::optional<std::wstring> CanonicalUrl(const std::wstring& url) {
    wchar_t probe[1] = {};
    DWORD needed = 1;
    if (::InternetCanonicalizeUrlW(url.c_str(), probe, &needed, ICU_BROWSER_MODE)) {
        return KeepTrailingQueryBlanks(url, std::wstring(probe, needed));
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return std::nullopt;
    std::wstring canonical(needed, L'\0');
    DWORD length = needed;
    // Without its canonical form the URL is not sent at all: unescaped blanks would reach the wire.
    if (!::InternetCanonicalizeUrlW(url.c_str(), canonical.data(), &length, ICU_BROWSER_MODE)) return std::nullopt;
    canonical.resize(length);
    return KeepTrailingQueryBlanks(url, std::move(canonical));
}

bool HttpGet(const std::wstring& url, BodySink sink) {
    unique_hinternet internet(::InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet) return false;
    const std::optional<std::wstring> canonical = CanonicalUrl(url);
    if (!canonical) return false;
    unique_hinternet request(::InternetOpenUrlW(internet.get(), canonical->c_str(), nullptr, 0, kOpenUrlFlags, 0));
    if (!request) return false;
    // One buffer for the whole body, however much the platform says is ready at once.
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kHttpReadChunk]);
    if (!buffer) return false;
    bool anyRead = false;
    DWORD available = 0;
    do {
        available = 0;
        if (!::InternetQueryDataAvailable(request.get(), &available, 0, 0)) break;
        const DWORD wanted = std::min(available, static_cast<DWORD>(kHttpReadChunk));
        DWORD read = 0;
        // A read that fails makes no progress; trying again would spin on a broken connection and
        // keep the module pinned for good.
        if (!::InternetReadFile(request.get(), buffer.get(), wanted, &read)) break;
        if (sink.take != nullptr) sink.take(sink.context, std::string_view(buffer.get(), read));
        anyRead = true;
    } while (available != 0);
    return anyRead;
}

bool ScriptObject::ExecuteExternal(const std::wstring& path, const std::wstring& parameters) {
    if (path.empty()) return false;
    // The file type's own default verb, unlike the client launches, which always "open".
    return ShellRun(nullptr, path, parameters, SW_SHOW);
}

bool ScriptObject::SyncHttpRequest(const std::wstring& url, lua_Integer timeLimitMs) {
    if (url.empty()) return false;
    std::wstring host = UrlHost(url);
    if (!MayStart(host)) return false;
    auto copy = std::make_unique<std::wstring>(url);
    unique_kernel_handle worker = StartPinnedWorker(&SyncHttpWorker, copy.get());
    if (!worker) return false;
    copy.release();  // the worker owns it now
    // The script gives milliseconds as any integer; -1 arrives as INFINITE, 0 only looks.
    const DWORD limit = static_cast<DWORD>(timeLimitMs);
    // Deliberately no message pump: the script waits for the request, not for other work.
    const DWORD waited = ::WaitForSingleObject(worker.get(), limit);
    if (waited == WAIT_TIMEOUT) g_late.push_back({std::move(host), std::move(worker)});
    return waited == WAIT_OBJECT_0;
}

bool ScriptObject::IsWindowForeground(void* window) { return ::GetForegroundWindow() == static_cast<HWND>(window); }

}  // namespace orvane
