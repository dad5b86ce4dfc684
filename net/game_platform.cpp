// The framed-TCP game-platform service: GetActiveGame asks it, from a worker thread, for the "games"
// value of a name and a type.
#include <winsock2.h>

#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "common/win_handles.hpp"
#include "net/async_request.hpp"
#include "net/sockets.hpp"
#include "net/wire.hpp"
#include "script/script_object.hpp"

namespace orvane {
namespace {

constexpr char kGameHost[] = ORVANE_GAME_HOST;
constexpr std::string_view kAnswerKey = "games";

std::atomic<bool> g_streamNetworkStarted{false};

bool EnsureStreamNetworkStarted() { return StartWindowsSocketsOnce(g_streamNetworkStarted); }

// One connection, one request, one reply. No time limit is set: only the worker waits.
class FramedTcpClient {
public:
    FramedTcpClient() { (void)EnsureStreamNetworkStarted(); }

    bool Connect(const char* host, std::uint16_t port) {
        socket_.reset(::socket(AF_INET, SOCK_STREAM, 0));
        if (!socket_) return false;
        const std::optional<sockaddr_in> to = ResolveHost(host, port);
        if (!to || ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&*to), sizeof *to) != 0) {
            socket_.reset();
            return false;
        }
        return true;
    }

    void SetHeader(std::uint32_t request) { request_ = request; }

    // Header and body each go out in one call; a short send is a failure and is not continued.
    bool Send(std::string_view body) {
        if (body.size() > INT_MAX) return false;
        const wire::Header header = wire::RequestHeader(request_, static_cast<std::uint32_t>(body.size()));
        if (!SendOnce(reinterpret_cast<const char*>(header.data()), header.size())) return false;
        if (!SendOnce(body.data(), body.size())) return false;
        headerRead_ = false;
        return true;
    }

    // The body length of the reply, or nothing on failure. A stream may split the 16 header bytes over
    // several segments, so they are gathered like the body rather than taken from one receive.
    std::optional<std::uint32_t> ReadHeader() {
        wire::Header header{};
        if (!ReceiveAll(header.data(), header.size())) return std::nullopt;
        const std::optional<std::uint32_t> length = wire::ReplyBodyLength(header);
        if (!length) return std::nullopt;
        bodyLength_ = *length;
        headerRead_ = true;
        return length;
    }

    bool ReadBody(unsigned char* buffer, std::size_t capacity) {
        if (!headerRead_ && !ReadHeader()) return false;
        if (capacity < bodyLength_) return false;
        return ReceiveAll(buffer, bodyLength_);
    }

    void Close() { socket_.reset(); }

private:
    bool SendOnce(const char* data, std::size_t length) {
        const int sent = ::send(socket_.get(), data, static_cast<int>(length), 0);
        return sent == static_cast<int>(length);
    }

    // Each receive asks for the bytes still missing; an error or the end of the stream first fails.
    bool ReceiveAll(unsigned char* buffer, std::size_t length) {
        std::size_t have = 0;
        while (have < length) {
            const std::size_t missing = length - have;
            const int ask = missing > INT_MAX ? INT_MAX : static_cast<int>(missing);
            const int got = ::recv(socket_.get(), reinterpret_cast<char*>(buffer + have), ask, 0);
            if (got <= 0) return false;
            have += static_cast<std::size_t>(got);
        }
        return true;
    }

    unique_socket socket_;
    std::uint32_t request_ = 0;
    std::uint32_t bodyLength_ = 0;
    bool headerRead_ = false;
};

std::string QueryActiveGame(const std::string& name, const std::string& type) {
    FramedTcpClient client;
    if (!client.Connect(kGameHost, wire::kGamePort)) return {};
    client.SetHeader(wire::kActiveGameRequest);
    if (!client.Send(wire::ActiveGameRequestBody(name, type))) return {};
    const std::optional<std::uint32_t> length = client.ReadHeader();
    // An oversized announcement is refused before anything is allocated or received.
    if (!length || !wire::ReplyBodyLengthAcceptable(*length)) return {};
    const std::unique_ptr<unsigned char[]> body(new (std::nothrow) unsigned char[*length]);
    if (!body || !client.ReadBody(body.get(), *length)) return {};
    client.Close();
    return wire::FindValueAfterKey(kAnswerKey, {body.get(), *length});
}

void ActiveGameWorker(void* request) { CompleteRequest(request, &QueryActiveGame); }

}  // namespace

void ScriptObject::GetActiveGame(const std::string& name, const std::string& type, CallbackRef callback) {
    StartRequestWorker(name, type, callback, &ActiveGameWorker);
}

}  // namespace orvane
