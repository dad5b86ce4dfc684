// The framed-TCP game-platform service: GetActiveGame asks it, from a worker thread, for the "games"
// value of a name and a type.
#include <winsock2.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "common/win_handles.hpp"
#include "net/async_request.hpp"
#include "net/sockets.hpp"
#include "net/wire.hpp"
#include "script/script_object.hpp"

namespace orvane {
namespace {

constexpr char kGameHost[] = ORVANE_GAME_HOST;
constexpr std::string_view kAnswerKey = "games";
// Largest piece of a reply body received at once; a few dozen receives carry the longest body.
constexpr std::size_t kReceiveChunk = 1024 * 1024;

std::atomic<bool> g_streamNetworkStarted{false};

// A long reply is received through a buffer of kReceiveChunk bytes. Fresh pages cost more on first
// touch than the bytes that land in them, so one such buffer is kept between exchanges; workers that
// overlap take it in turn or make their own. It goes with the module.
class SpareChunk {
public:
    SpareChunk() = default;
    SpareChunk(const SpareChunk&) = delete;
    SpareChunk& operator=(const SpareChunk&) = delete;
    ~SpareChunk() { delete[] slot_.exchange(nullptr); }

    std::unique_ptr<unsigned char[]> Take() {
        unsigned char* kept = slot_.exchange(nullptr);
        return std::unique_ptr<unsigned char[]>(kept != nullptr ? kept
                                                                : new (std::nothrow) unsigned char[kReceiveChunk]);
    }
    void Give(std::unique_ptr<unsigned char[]> chunk) {
        unsigned char* empty = nullptr;
        if (chunk && slot_.compare_exchange_strong(empty, chunk.get())) (void)chunk.release();
    }

private:
    std::atomic<unsigned char*> slot_{nullptr};
};
SpareChunk g_spareChunk;

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

    // The body goes through the walk piece by piece as it arrives, so nothing the size of the body
    // is ever allocated: for a long reply, fresh pages cost more than receiving the bytes. A walk
    // that has failed needs no more of them; every other walk reads the body to its end, since a
    // body that ends early is a failed exchange whatever it held.
    bool ReadBody(wire::ReplyWalk& walk) {
        if (!headerRead_ && !ReadHeader()) return false;
        const bool longBody = bodyLength_ >= kReceiveChunk;
        const std::size_t capacity = longBody ? kReceiveChunk : bodyLength_;
        std::unique_ptr<unsigned char[]> buffer =
            longBody ? g_spareChunk.Take()
                     : std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[capacity]);
        if (!buffer) return false;
        std::size_t have = 0;
        bool complete = true;
        while (have < bodyLength_ && !walk.Failed()) {
            const std::size_t ask = std::min(capacity, bodyLength_ - have);
            const int got = ::recv(socket_.get(), reinterpret_cast<char*>(buffer.get()), static_cast<int>(ask), 0);
            if (got <= 0) {
                complete = false;
                break;
            }
            walk.Feed({buffer.get(), static_cast<std::size_t>(got)});
            have += static_cast<std::size_t>(got);
        }
        if (longBody) g_spareChunk.Give(std::move(buffer));
        return complete;
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
    wire::ReplyWalk walk(kAnswerKey, *length);
    if (!client.ReadBody(walk)) return {};
    client.Close();
    return walk.TakeAnswer();
}

void ActiveGameWorker(void* request) { CompleteRequest(request, &QueryActiveGame); }

}  // namespace

void ScriptObject::GetActiveGame(const std::string& name, const std::string& type, CallbackRef callback) {
    StartRequestWorker(name, type, callback, &ActiveGameWorker);
}

}  // namespace orvane
