// The rules behind the game-client methods that need no system call: how the client's command line
// is composed, which registry values count as text, and which drive receives downloads. The Win32
// code around them only gathers the inputs and performs the effects.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// The parameters text for the client: each non-empty value behind its switch, in a fixed order,
// values verbatim (the client splits them at blanks itself). Always holds a start-from switch.
std::wstring ComposeClientSwitches(std::wstring_view userName, std::wstring_view jumpKey, std::wstring_view gameId,
                                   std::wstring_view startFrom);

// Registry value types that may carry the client's texts.
inline constexpr std::uint32_t kRegString = 1;        // REG_SZ
inline constexpr std::uint32_t kRegExpandString = 2;  // REG_EXPAND_SZ

// The client's values are read into a buffer of this many UTF-16 units; anything longer is refused.
inline constexpr std::size_t kRegistryTextUnits = 260;

// The text a registry value yields, given its type and exactly the bytes the query delivered (UTF-16
// little-endian). Anything but a NUL-terminated string of whole UTF-16 units that fits the buffer
// yields the empty text; an accepted value ends at its first NUL. Environment references stay as
// written: the value is handed on exactly as the client's installer stored it.
std::u16string AcceptRegistryString(std::uint32_t type, std::span<const std::uint8_t> bytes);

// One drive root as the system lists it, with what is known about it.
struct DriveInfo {
    std::wstring root;
    std::uint32_t type = 0;                  // a DRIVE_* value
    std::optional<std::uint64_t> freeBytes;  // free bytes available to the user; empty when unreadable
};

inline constexpr std::uint32_t kDriveFixed = 3;  // DRIVE_FIXED

// The roots of a drive list (NUL-terminated roots closed by an empty one), given the buffer and the
// length the filling call answered. A call that failed (0) or that needed more than the buffer holds
// (a drive appeared in between) gives no roots: a half-read list could name a wrong drive.
std::vector<std::wstring> SplitDriveList(std::wstring_view buffer, std::uint32_t filledLength);

// The fixed drive with the most free bytes available; the earlier one on a tie, none (the empty
// text) when no fixed drive has any free byte. Removable media are never chosen: a download there
// would vanish with the medium.
std::wstring ChooseDownloadDrive(std::span<const DriveInfo> drives);

// Where game downloads go: the chosen root followed by the client's own sub-path. Without a root the
// sub-path alone, relative to wherever the client runs.
std::wstring DownloadFolder(std::wstring_view root);

}  // namespace orvane
