// The HTTP GET behind SyncHttpRequest, exposed so the URL it hands to the platform can be checked.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/failure.hpp"

namespace orvane {

// The URL in the platform's browser-mode canonical form: blanks and unsafe characters before the
// first ? or # escaped, everything from there on left as the script wrote it. Empty optional when
// the platform cannot give the form.
std::optional<std::wstring> CanonicalUrl(const std::wstring& url);

// Where the body of a GET goes as it is read: each chunk once, in order. SyncHttpRequest keeps none of
// it, so a server that sends without end costs the one read buffer and no more.
struct BodySink {
    void (*take)(void* context, std::string_view chunk) = nullptr;
    void* context = nullptr;
};

// The most a single read asks for, and so the largest chunk a sink is handed.
inline constexpr std::size_t kHttpReadChunk = std::size_t{16} * 1024;

// What a GET came to: true when at least one read of the response succeeded; otherwise why not, with
// the system's error code where it tells more.
struct GetOutcome {
    bool read = false;
    Failure cause = Failure::NothingRead;
    std::uint32_t code = 0;
    explicit operator bool() const noexcept { return read; }
};

// One GET of the canonical URL, its body handed to `sink` as it is read.
GetOutcome HttpGet(const std::wstring& url, BodySink sink = {});

// Script thread: one GET on a worker of its own, waited for up to limitMs (INFINITE waits for good);
// true when it ended within the limit. A request that runs on past its limit holds a thread and a
// connection until its server lets go, so only a few may: past them, a request to a host whose
// requests still run answers false at once, unsent. Every failure writes its cause as
// SyncHttpRequest's; the GET's own, from its worker, also when the call answered true.
bool GetWithinLimit(const std::wstring& url, DWORD limitMs);

}  // namespace orvane
