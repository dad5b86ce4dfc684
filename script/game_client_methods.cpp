// The game client's methods: detection, launch, setup status and the download folder.
#include "script/game_client_methods.hpp"

#include <windows.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "common/win_handles.hpp"
#include "script/client_rules.hpp"
#include "script/script_object.hpp"
#include "script/shell.hpp"

namespace orvane {

std::wstring ReadUserRegistryString(const std::wstring& subKey, const std::wstring& valueName) {
    UniqueKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return {};
    std::array<std::uint8_t, kRegistryTextUnits * 2> buffer{};
    DWORD type = 0;
    auto size = static_cast<DWORD>(buffer.size());
    if (::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, buffer.data(), &size) != ERROR_SUCCESS) {
        return {};
    }
    if (size > buffer.size()) return {};
    const std::u16string text = AcceptRegistryString(type, std::span<const std::uint8_t>(buffer.data(), size));
    return {text.begin(), text.end()};
}

std::wstring FindFixedDriveWithMostSpace() {
    const DWORD needed = ::GetLogicalDriveStringsW(0, nullptr);
    if (needed == 0) return {};
    std::wstring list(needed, L'\0');
    const DWORD filled = ::GetLogicalDriveStringsW(needed, list.data());
    std::vector<DriveInfo> drives;
    for (std::wstring& root : SplitDriveList(list, filled)) {
        DriveInfo drive{std::move(root), 0, std::nullopt};
        drive.type = ::GetDriveTypeW(drive.root.c_str());
        // Only fixed drives are asked: asking a removable or network drive can stall on its medium.
        if (drive.type == kDriveFixed) {
            ULARGE_INTEGER available{};
            if (::GetDiskFreeSpaceExW(drive.root.c_str(), &available, nullptr, nullptr)) {
                drive.freeBytes = available.QuadPart;
            }
        }
        drives.push_back(std::move(drive));
    }
    return ChooseDownloadDrive(drives);
}

bool ScriptObject::IsOrvaneRun() {
    // Opening is enough: the client holds the mutex for as long as it runs, and waiting on it here
    // could take it from the client.
    UniqueKernelHandle mutex(::OpenMutexW(MUTEX_ALL_ACCESS, FALSE, kClientMutex));
    return static_cast<bool>(mutex);
}

bool ScriptObject::IsOrvaneSetup() { return !ReadUserRegistryString(kClientKey, L"InstDir").empty(); }

bool ScriptObject::LaunchOrvaneSetup(const std::wstring& path, const std::wstring& parameters) {
    // A status left over from an earlier setup run must not be read as this run's, even when this
    // launch fails.
    StoreSetupStatus(0, 0);
    return ShellRun(L"open", path, parameters, SW_SHOWNORMAL);
}

bool ScriptObject::LaunchOrvane(const std::wstring& userName, const std::wstring& jumpKey, const std::wstring& gameId,
                                const std::wstring& startFrom) {
    const std::wstring program = ReadUserRegistryString(kClientKey, L"Path");
    if (program.empty()) return false;
    return ShellRun(L"open", program, ComposeClientSwitches(userName, jumpKey, gameId, startFrom), SW_SHOWNORMAL);
}

std::wstring ScriptObject::GetDownloadPath() { return DownloadFolder(FindFixedDriveWithMostSpace()); }

}  // namespace orvane
