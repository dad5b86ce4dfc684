#include "bench/loopback_peers.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "net/wire.hpp"

namespace orvane::bench {
namespace {

namespace wire = orvane::wire;

// The service ports are fixed, and a test of another build may hold one for a while.
UniqueSocket BindLoopback(int type, std::uint16_t port) {
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    for (;;) {
        UniqueSocket s(::socket(AF_INET, type, 0));
        const sockaddr_in address = Loopback(port);
        if (s && ::bind(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return s;
        if (::GetTickCount64() >= deadline) return {};
        ::Sleep(500);
    }
}

bool ReceiveExactly(SOCKET s, char* buffer, std::size_t length) {
    std::size_t have = 0;
    while (have < length) {
        const int got = ::recv(s, buffer + have, static_cast<int>(length - have), 0);
        if (got <= 0) return false;
        have += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    return address;
}

// ---- tips ----------------------------------------------------------------------------------------

bool TipsPeer::Start() {
    socket_ = BindLoopback(SOCK_DGRAM, wire::kTipsPort);
    if (!socket_) return false;
    const DWORD poll = 100;
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&poll), sizeof poll);
    thread_.reset(::CreateThread(nullptr, 0, &TipsPeer::Run, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

DWORD WINAPI TipsPeer::Run(void* self) {
    static_cast<TipsPeer*>(self)->Serve();
    return 0;
}

void TipsPeer::Serve() {
    std::vector<Held> held;
    ULONGLONG firstHeldAt = 0;
    char buffer[2048];
    for (;;) {
        sockaddr_in from{};
        int fromLength = sizeof from;
        const int got =
            ::recvfrom(socket_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got > 0) {
            if (gather_ == 0) {
                Reply({std::string(buffer, static_cast<std::size_t>(got)), from});
                continue;
            }
            if (held.empty()) firstHeldAt = ::GetTickCount64();
            held.push_back({std::string(buffer, static_cast<std::size_t>(got)), from});
            mostHeld_ = std::max(mostHeld_.load(), static_cast<int>(held.size()));
        } else if (::WSAGetLastError() != WSAETIMEDOUT && ::WSAGetLastError() != WSAECONNRESET) {
            return;
        }
        // The client waits 10 s for its reply; a gathering that cannot complete lets go before.
        const bool complete = gather_ > 0 && static_cast<int>(held.size()) >= gather_;
        if (!held.empty() && (complete || ::GetTickCount64() - firstHeldAt > 8000)) {
            gather_ = 0;
            for (const Held& h : held) Reply(h);
            held.clear();
        }
    }
}

void TipsPeer::Reply(const Held& h) {
    ::sendto(socket_.get(), h.datagram.data(), static_cast<int>(h.datagram.size()), 0,
             reinterpret_cast<const sockaddr*>(&h.from), sizeof h.from);
}

// ---- game platform -------------------------------------------------------------------------------

bool GamePeer::Start() {
    socket_ = BindLoopback(SOCK_STREAM, wire::kGamePort);
    if (!socket_ || ::listen(socket_.get(), SOMAXCONN) != 0) return false;
    thread_.reset(::CreateThread(nullptr, 0, &GamePeer::Run, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

void GamePeer::SetReply(std::string_view body) {
    const wire::Header header = wire::RequestHeader(0, static_cast<std::uint32_t>(body.size()));
    reply_.assign(reinterpret_cast<const char*>(header.data()), header.size());
    reply_.append(body);
}

DWORD WINAPI GamePeer::Run(void* self) {
    static_cast<GamePeer*>(self)->Serve();
    return 0;
}

void GamePeer::SetSilent(bool silent) {
    std::vector<UniqueSocket> closed;
    const std::lock_guard<std::mutex> guard(heldLock_);
    silent_ = silent;
    if (!silent) closed = std::move(held_);
}

void GamePeer::Serve() {
    for (;;) {
        UniqueSocket connection(::accept(socket_.get(), nullptr, nullptr));
        if (!connection) return;
        {
            const std::lock_guard<std::mutex> guard(heldLock_);
            if (silent_) {
                held_.push_back(std::move(connection));
                continue;
            }
        }
        wire::Header header{};
        if (!ReceiveExactly(connection.get(), reinterpret_cast<char*>(header.data()), header.size())) continue;
        const std::uint32_t length = wire::ReplyBodyLength(header).value_or(0);
        std::string body(length, '\0');
        if (!ReceiveExactly(connection.get(), body.data(), body.size())) continue;
        std::size_t sent = 0;
        while (sent < reply_.size()) {
            const std::size_t chunk = std::min<std::size_t>(reply_.size() - sent, 1u << 20);
            const int n = ::send(connection.get(), reply_.data() + sent, static_cast<int>(chunk), 0);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(connection.get(), SD_SEND);
    }
}

// ---- HTTP ----------------------------------------------------------------------------------------

bool HttpPeer::Start() {
    socket_.reset(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    if (!socket_ || ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket_.get(), SOMAXCONN) != 0 ||
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    port_ = ::ntohs(address.sin_port);
    thread_.reset(::CreateThread(nullptr, 0, &HttpPeer::Run, this, 0, nullptr));
    return static_cast<bool>(thread_);
}

std::string HttpPeer::Url(int delayMs) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/delay/" + std::to_string(delayMs);
}

DWORD WINAPI HttpPeer::Run(void* self) {
    auto* peer = static_cast<HttpPeer*>(self);
    for (;;) {
        const SOCKET connection = ::accept(peer->socket_.get(), nullptr, nullptr);
        if (connection == INVALID_SOCKET) return 0;
        UniqueKernelHandle(::CreateThread(nullptr, 0, &HttpPeer::Serve,
                                          reinterpret_cast<void*>(static_cast<std::uintptr_t>(connection)), 0,
                                          nullptr));
    }
}

DWORD WINAPI HttpPeer::Serve(void* parameter) {
    UniqueSocket connection(static_cast<SOCKET>(reinterpret_cast<std::uintptr_t>(parameter)));
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const int got = ::recv(connection.get(), buffer, sizeof buffer, 0);
        if (got <= 0) return 0;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t delay = request.find("/delay/");
    if (delay != std::string::npos) ::Sleep(std::strtoul(request.c_str() + delay + 7, nullptr, 10));
    static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    ::send(connection.get(), kAnswer, sizeof kAnswer - 1, 0);
    ::shutdown(connection.get(), SD_SEND);
    while (::recv(connection.get(), buffer, sizeof buffer, 0) > 0) {}
    return 0;
}

}  // namespace orvane::bench
