#include "net/sockets.hpp"

#include <ws2tcpip.h>

#include <cstring>
#include <memory>

namespace orvane {

bool StartWindowsSocketsOnce(std::atomic<bool>& started) {
    if (started.load(std::memory_order_acquire)) return true;
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        ::WSACleanup();
        return false;
    }
    // Never cleaned up: networking stays up for the life of the process.
    started.store(true, std::memory_order_release);
    return true;
}

LookedUp LookUpIpv4(const char* host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> answer(found, &::freeaddrinfo);
    if (answer->ai_addrlen < sizeof(sockaddr_in)) return std::nullopt;
    sockaddr_in address{};
    std::memcpy(&address, answer->ai_addr, sizeof address);
    return address.sin_addr.s_addr;
}

std::optional<sockaddr_in> ToSocketAddress(LookedUp address, std::uint16_t port) {
    if (!address) return std::nullopt;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = *address;
    to.sin_port = ::htons(port);
    return to;
}

}  // namespace orvane
