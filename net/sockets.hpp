// Windows Sockets pieces shared by the two service clients. Each client keeps its own started flag,
// so neither depends on the other having run first.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <optional>

namespace orvane {

// Starts Windows Sockets 2.2 unless this flag says it already did. A start-up that grants another
// version is undone at once. Two threads that race here both start it; the platform counts start-ups.
bool StartWindowsSocketsOnce(std::atomic<bool>& started);

// The IPv4 address of a host name, or of a dotted-decimal address, with the port; the first address
// of the answer is used. Nothing when the name cannot be resolved.
std::optional<sockaddr_in> ResolveHost(const char* host, std::uint16_t port);

}  // namespace orvane
