#include "script/client_rules.hpp"

namespace orvane {
namespace {

// "Kestrin游戏\ToluDownload\", spelled with escapes so the source does not depend on its encoding.
constexpr wchar_t kDownloadSubPath[] = L"Kestrin\u6E38\u620F\\ToluDownload\\";

void AppendSwitch(std::wstring& text, std::wstring_view literal, std::wstring_view value) {
    if (value.empty()) return;
    text += literal;
    text += value;
}

}  // namespace

std::wstring ComposeClientSwitches(std::wstring_view userName, std::wstring_view jumpKey, std::wstring_view gameId,
                                   std::wstring_view startFrom) {
    std::wstring text;
    AppendSwitch(text, L" /b_username ", userName);
    AppendSwitch(text, L" /b_jumpkey ", jumpKey);
    AppendSwitch(text, L" /b_gameid ", gameId);
    if (startFrom.empty()) {
        text += L" /b_startfrom vemo7";
    } else {
        AppendSwitch(text, L" /b_startfrom ", startFrom);
    }
    return text;
}

std::u16string AcceptRegistryString(std::uint32_t type, std::span<const std::uint8_t> bytes) {
    if (type != kRegString && type != kRegExpandString) return {};
    if (bytes.size() > kRegistryTextUnits * 2 || bytes.size() % 2 != 0) return {};
    const std::size_t units = bytes.size() / 2;
    if (units == 0) return {};
    auto unitAt = [&](std::size_t i) { return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); };
    // Without a terminating NUL the value may have been cut or written carelessly: refuse it rather
    // than guess where it ends.
    if (unitAt(units - 1) != u'\0') return {};
    std::u16string text;
    for (std::size_t i = 0; i < units && unitAt(i) != u'\0'; ++i) text.push_back(unitAt(i));
    return text;
}

std::vector<std::wstring> SplitDriveList(std::wstring_view buffer, std::uint32_t filledLength) {
    std::vector<std::wstring> roots;
    if (filledLength == 0 || filledLength > buffer.size()) return roots;
    std::size_t at = 0;
    while (at < buffer.size()) {
        const std::size_t end = buffer.find(L'\0', at);
        const std::wstring_view root = buffer.substr(at, end == std::wstring_view::npos ? end : end - at);
        if (root.empty()) break;
        roots.emplace_back(root);
        if (end == std::wstring_view::npos) break;
        at = end + 1;
    }
    return roots;
}

std::wstring ChooseDownloadDrive(std::span<const DriveInfo> drives) {
    std::uint64_t bestFree = 0;
    std::wstring bestRoot;
    for (const DriveInfo& drive : drives) {
        if (drive.type != kDriveFixed || !drive.freeBytes) continue;
        if (*drive.freeBytes > bestFree) {
            bestFree = *drive.freeBytes;
            bestRoot = drive.root;
        }
    }
    return bestRoot;
}

std::wstring DownloadFolder(std::wstring_view root) {
    std::wstring folder(root);
    folder += kDownloadSubPath;
    return folder;
}

}  // namespace orvane
