// The HTTP GET behind SyncHttpRequest, exposed so the URL it hands to the platform can be checked.
#pragma once

#include <optional>
#include <string>

namespace orvane {

// The URL in the platform's browser-mode canonical form: blanks and unsafe characters before the
// first ? or # escaped, everything from there on left as the script wrote it. Empty optional when
// the platform cannot give the form.
std::optional<std::wstring> CanonicalUrl(const std::wstring& url);

// One GET of the canonical URL, its whole body collected into `body` (cleared once the URL opened).
// True when at least one read of the response succeeded.
bool HttpGet(const std::wstring& url, std::string& body);

}  // namespace orvane
