// Rules of the URL form handed to the platform for SyncHttpRequest that hold whatever the platform's
// canonicalisation does.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

// Browser-mode canonical form leaves everything from the first ? or # as the script wrote it, blanks
// at the end included: some servers take them as part of the last parameter. Platforms that trim
// them anyway get them back here; the canonical text is returned unchanged in every other case.
std::wstring KeepTrailingQueryBlanks(std::wstring_view original, std::wstring canonical);

// The host a URL names, lowercased, without user name or port: what requests are counted by when
// they outlive their callers. The text before any path, query or fragment when there is no scheme.
std::wstring UrlHost(std::wstring_view url);

}  // namespace orvane
