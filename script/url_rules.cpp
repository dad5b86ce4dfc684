#include "script/url_rules.hpp"

namespace orvane {
namespace {

std::size_t TrailingBlanks(std::wstring_view text, std::size_t from) {
    std::size_t count = 0;
    while (text.size() - count > from && text[text.size() - 1 - count] == L' ') ++count;
    return count;
}

}  // namespace

std::wstring KeepTrailingQueryBlanks(std::wstring_view original, std::wstring canonical) {
    const std::size_t query = original.find_first_of(L"?#");
    const std::size_t canonicalQuery = canonical.find_first_of(L"?#");
    if (query == std::wstring_view::npos || canonicalQuery == std::wstring::npos) return canonical;
    const std::size_t wanted = TrailingBlanks(original, query + 1);
    const std::size_t kept = TrailingBlanks(canonical, canonicalQuery + 1);
    if (wanted > kept) canonical.append(wanted - kept, L' ');
    return canonical;
}

std::wstring UrlHost(std::wstring_view url) {
    const std::size_t scheme = url.find(L"://");
    if (scheme != std::wstring_view::npos) url.remove_prefix(scheme + 3);
    url = url.substr(0, url.find_first_of(L"/?#\\"));
    const std::size_t user = url.rfind(L'@');
    if (user != std::wstring_view::npos) url.remove_prefix(user + 1);
    // A port follows the last colon, unless that colon is inside a bracketed IPv6 address.
    const std::size_t colon = url.rfind(L':');
    if (colon != std::wstring_view::npos && url.find(L']', colon) == std::wstring_view::npos) {
        url = url.substr(0, colon);
    }
    std::wstring host(url);
    for (wchar_t& c : host) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return host;
}

}  // namespace orvane
