// Windows Sockets pieces shared by the two service clients. Each client keeps its own started flag,
// so neither depends on the other having run first.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "net/address_cache.hpp"

namespace orvane {

// Starts Windows Sockets 2.2 unless this flag says it already did. A start-up that grants another
// version is undone at once. Two threads that race here both start it; the platform counts start-ups.
bool StartWindowsSocketsOnce(std::atomic<bool>& started);

// The IPv4 address of a host name, or of a dotted-decimal address; the first address of the answer is
// used. Nothing when the name cannot be resolved. It waits as long as the resolver takes, so only a
// worker of the exchange loop calls it.
LookedUp LookUpIpv4(const char* host);

// Where to send to: the address with the port; nothing for a name that was not found.
std::optional<sockaddr_in> ToSocketAddress(LookedUp address, std::uint16_t port);

}  // namespace orvane
