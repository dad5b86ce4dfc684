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

}  // namespace orvane
