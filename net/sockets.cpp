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

std::optional<sockaddr_in> ResolveHost(const char* host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> answer(found, &::freeaddrinfo);
    if (answer->ai_addrlen < sizeof(sockaddr_in)) return std::nullopt;
    sockaddr_in address{};
    std::memcpy(&address, answer->ai_addr, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    return address;
}

}  // namespace orvane
