// The GET behind SyncHttpRequest, and the requests that outlived their caller's limit.
#include "script/http_get.hpp"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "common/small_lock.hpp"
#include "common/thread_checks.hpp"
#include "common/win_handles.hpp"
#include "common/worker.hpp"
#include "script/url_rules.hpp"

namespace orvane {
namespace {

constexpr char kOperation[] = "SyncHttpRequest";

// Nothing may be cached or answered from a cache, and no dialog may ever appear in the host.
constexpr DWORD kOpenUrlFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_PRAGMA_NOCACHE;

// Requests that outlived their caller's limit and still run. Each holds a thread and a connection
// until its server lets go, which may be never, so only so many may run on: kLatePerHost for one host
// and kLateInAll in all. While a host has its share, a new request to it answers false at once, as it
// would at its limit, since its server has not answered the ones before; other hosts are not held up
// by one that is dead. A request leaves the list itself when it ends.
constexpr std::size_t kLatePerHost = 4;
constexpr std::size_t kLateInAll = 32;

// One GET, shared by the script thread that waits for it and the worker that runs it; its two flags
// and the list are guarded by the lock.
struct HttpJob {
    std::wstring url;
    std::wstring host;
    bool late = false;
    bool done = false;
};

SmallLock g_lateLock;
std::vector<std::shared_ptr<HttpJob>> g_late ORVANE_GUARDED_BY(g_lateLock);

// Whether one more request to this host may start.
bool MayStart(const std::wstring& host) {
    const SmallLock::Hold guard(g_lateLock);
    // Room for every late request there may be, so that noting one never fails once it runs.
    g_late.reserve(kLateInAll);
    const auto sameHost =
        std::count_if(g_late.begin(), g_late.end(), [&](const auto& job) { return job->host == host; });
    return static_cast<std::size_t>(sameHost) < kLatePerHost && g_late.size() < kLateInAll;
}

void NoteLate(const std::shared_ptr<HttpJob>& job) {
    const SmallLock::Hold guard(g_lateLock);
    if (job->done) return;
    job->late = true;
    g_late.push_back(job);
}

void NoteDone(const std::shared_ptr<HttpJob>& job) {
    const SmallLock::Hold guard(g_lateLock);
    job->done = true;
    if (job->late) std::erase(g_late, job);
}

// Thread procedure of SyncHttpRequest; the body is read and dropped.
void SyncHttpWorker(void* argument) {
    const std::unique_ptr<std::shared_ptr<HttpJob>> owned(static_cast<std::shared_ptr<HttpJob>*>(argument));
    const std::shared_ptr<HttpJob> job = *owned;
    // Nothing may leave a thread procedure; running out of memory for the URL's canonical form ends it.
    GetOutcome outcome{false, Failure::NoMemory};
    try {
        outcome = HttpGet(job->url);
    } catch (...) {}
    if (!outcome) ReportFailure(kOperation, outcome.cause, outcome.code);
    NoteDone(job);
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

GetOutcome HttpGet(const std::wstring& url, BodySink sink) {
    UniqueInternet internet(::InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet) return {false, Failure::InternetOpenFailed, ::GetLastError()};
    const std::optional<std::wstring> canonical = CanonicalUrl(url);
    if (!canonical) return {false, Failure::UrlNotCanonical};
    UniqueInternet request(::InternetOpenUrlW(internet.get(), canonical->c_str(), nullptr, 0, kOpenUrlFlags, 0));
    if (!request) return {false, Failure::OpenUrlFailed, ::GetLastError()};
    // One buffer for the whole body, however much the platform says is ready at once.
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kHttpReadChunk]);
    if (!buffer) return {false, Failure::NoMemory};
    GetOutcome outcome;
    DWORD available = 0;
    do {
        available = 0;
        // A read that fails makes no progress; trying again would spin on a broken connection and
        // keep the module pinned for good.
        if (!::InternetQueryDataAvailable(request.get(), &available, 0, 0)) {
            outcome.code = ::GetLastError();
            break;
        }
        const DWORD wanted = std::min(available, static_cast<DWORD>(kHttpReadChunk));
        DWORD read = 0;
        if (!::InternetReadFile(request.get(), buffer.get(), wanted, &read)) {
            outcome.code = ::GetLastError();
            break;
        }
        if (sink.take != nullptr) sink.take(sink.context, std::string_view(buffer.get(), read));
        outcome.read = true;
    } while (available != 0);
    return outcome;
}

bool GetWithinLimit(const std::wstring& url, DWORD limitMs) {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (url.empty()) {
        ReportFailure(kOperation, Failure::EmptyUrl);
        return false;
    }
    auto job = std::make_shared<HttpJob>(HttpJob{url, UrlHost(url)});
    if (!MayStart(job->host)) {
        ReportFailure(kOperation, Failure::TooManyLate);
        return false;
    }
    auto forWorker = std::make_unique<std::shared_ptr<HttpJob>>(job);
    const UniqueKernelHandle worker = StartPinnedWorker(&SyncHttpWorker, forWorker.get());
    if (!worker) {
        ReportFailure(kOperation, Failure::ThreadFailed, ::GetLastError());
        return false;
    }
    (void)forWorker.release();  // the worker owns it now
    // Deliberately no message pump: the script waits for the request, not for other work.
    const DWORD waited = ::WaitForSingleObject(worker.get(), limitMs);
    if (waited == WAIT_OBJECT_0) return true;
    if (waited == WAIT_TIMEOUT) {
        NoteLate(job);
        ReportFailure(kOperation, Failure::LimitPassed);
    } else {
        ReportFailure(kOperation, Failure::ThreadFailed, ::GetLastError());
    }
    return false;
}

}  // namespace orvane
