// The framed-TCP game-platform service, asked on the exchange loop for the "games" value of a name and
// a type.
#include <winsock2.h>

#include <mstcpip.h>
#include <mswsock.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "net/answer_budget.hpp"
#include "net/exchange_loop.hpp"
#include "net/sockets.hpp"
#include "net/wire.hpp"
#include "net/services.hpp"

namespace orvane {
namespace {

constexpr char kGameHost[] = ORVANE_GAME_HOST;
constexpr std::string_view kAnswerKey = "games";
// A body is received first into a buffer of its length up to kFirstChunk: an exchange whose server
// announces a long reply and then stalls holds no more than that, and there may be thousands. Once a
// receive fills it, the server is sending fast, and the rest comes through kReceiveChunk at a time:
// each receive is dear under Wine, and smaller pieces were measured at half the speed.
constexpr std::size_t kFirstChunk = 64 * 1024;
constexpr std::size_t kReceiveChunk = 1024 * 1024;
// A reply that stalls after its first piece would keep a chunk of kReceiveChunk until its server
// closes, and a game-platform exchange has no time limit. So only a few chunks of that size exist at
// once (the spare counted); exchanges beyond them go on kFirstChunk at a time.
constexpr int kMaxLargeChunks = 8;
int g_largeChunks = 0;  // loop thread only

// Every byte of room game-platform replies hold for their answers and their receiving, from the loop to
// the script thread's delivery: a hundred answers that come while the scripts are busy would otherwise
// fill a 32-bit host's 2 GiB. 256 MiB is room for sixteen whole answers of 16 MiB at once and an eighth
// of that space, whose scripts get a copy of each answer besides. An answer that would go past it is
// the empty text, like any other failure.
constexpr std::size_t kAnswerBudget = std::size_t{256} * 1024 * 1024;
AnswerBudget g_answerBudget(kAnswerBudget);

// A game-platform exchange has no time limit, so a server that vanished without a word would hold its
// socket, record and callback for good. Keep-alive probes end such an exchange while a live server,
// whose system answers them however long the server itself is silent, is still waited for: the first
// after two minutes of silence, then one every ten seconds until the system gives up (after ten on
// Windows), so about four minutes in all.
constexpr ULONG kKeepAliveIdleMs = 2 * 60 * 1000;
constexpr ULONG kKeepAliveIntervalMs = 10 * 1000;

void KeepAlive(SOCKET socket) noexcept {
    tcp_keepalive values{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
    DWORD bytes = 0;
    // Without it the exchange works all the same; only a vanished server is waited for as before.
    (void)::WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &bytes, nullptr, nullptr);
}

std::atomic<bool> g_streamNetworkStarted{false};

// A long reply's buffer is kept for the next one: fresh pages cost more on first touch than the bytes
// received into them. Only the loop thread takes and gives it.
std::unique_ptr<unsigned char[]> g_spareChunk;

bool EnsureStreamNetworkStarted() { return StartWindowsSocketsOnce(g_streamNetworkStarted); }

// Found once; the loop thread is the only one that connects.
LPFN_CONNECTEX ConnectExOf(SOCKET socket) {
    static LPFN_CONNECTEX connectEx = nullptr;
    if (connectEx == nullptr) {
        GUID id = WSAID_CONNECTEX;
        DWORD bytes = 0;
        ::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &connectEx, sizeof connectEx, &bytes,
                   nullptr, nullptr);
    }
    return connectEx;
}

// One connection, one request, one reply. No time limit is set: a silent server keeps the exchange
// waiting, which costs a socket and this record.
class GameExchange final : public Exchange {
public:
    GameExchange(CallbackRef taken, const std::string& name, const std::string& type)
        : Exchange(taken), body_(wire::ActiveGameRequestBody(name, type)) {}
    // The answer's charge goes with the share, so the answer goes first.
    ~GameExchange() override { std::string().swap(answer); }
    GameExchange(const GameExchange&) = delete;
    GameExchange& operator=(const GameExchange&) = delete;

    void Begin() override {
        (void)EnsureStreamNetworkStarted();
        ReachService(kGameHost, wire::kGamePort);
    }

    void AddressReady(std::optional<sockaddr_in> to) override {
        if (!to) return Finish({});
        socket_ = OverlappedSocket(SOCK_STREAM);
        if (!socket_) return Finish({});
        KeepAlive(socket_.get());
        // ConnectEx wants a socket bound already; the system picks the local port, as connect would.
        sockaddr_in any{};
        any.sin_family = AF_INET;
        const LPFN_CONNECTEX connectEx = ConnectExOf(socket_.get());
        if (connectEx == nullptr || ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
            return Finish({});
        }
        step_ = Step::Connect;
        OVERLAPPED* operation = StartOperation();
        const BOOL connected =
            connectEx(socket_.get(), reinterpret_cast<const sockaddr*>(&*to), sizeof *to, nullptr, 0, nullptr, operation);
        if (!Issued(connected ? 0 : SOCKET_ERROR)) return Finish({});
    }

    void Completed(DWORD bytes, DWORD error) override {
        if (error != 0) return Finish({});
        switch (step_) {
            case Step::Connect: return SendRequest();
            case Step::Send:
                // Header and body go out together, and a short send is a failure that is not continued.
                if (bytes != wire::kHeaderSize + body_.size()) return Finish({});
                body_ = std::string();
                return ReceiveHeader();
            case Step::Header: return HeaderArrived(bytes);
            case Step::Body: return BodyArrived(bytes);
        }
    }

private:
    enum class Step { Connect, Send, Header, Body };

    void SendRequest() {
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0);
        if (body_.size() > ULONG_MAX - wire::kHeaderSize) return Finish({});
        header_ = wire::RequestHeader(wire::kActiveGameRequest, static_cast<std::uint32_t>(body_.size()));
        WSABUF buffers[2] = {{static_cast<ULONG>(header_.size()), reinterpret_cast<char*>(header_.data())},
                             {static_cast<ULONG>(body_.size()), body_.data()}};
        step_ = Step::Send;
        OVERLAPPED* operation = StartOperation();
        if (!Issued(::WSASend(socket_.get(), buffers, 2, nullptr, 0, operation, nullptr))) return Finish({});
    }

    // A stream may split the 16 header bytes over several segments, so they are gathered like the body.
    void ReceiveHeader() {
        step_ = Step::Header;
        Receive(reinterpret_cast<char*>(header_.data()) + have_, wire::kHeaderSize - have_);
    }

    void HeaderArrived(DWORD bytes) {
        if (bytes == 0) return Finish({});  // the end of the stream before the whole header
        have_ += bytes;
        if (have_ < wire::kHeaderSize) return ReceiveHeader();
        const std::optional<std::uint32_t> length = wire::ReplyBodyLength(header_);
        // An oversized announcement is refused before anything is allocated or received.
        if (!length || !wire::ReplyBodyLengthAcceptable(*length)) return Finish({});
        bodyLength_ = *length;
        have_ = 0;
        walk_.emplace(kAnswerKey, bodyLength_, &share_);
        if (bodyLength_ == 0) return Finish(walk_->TakeAnswer());
        const std::size_t first = std::min<std::size_t>(bodyLength_, kFirstChunk);
        if (!share_.Grow(first)) return Finish({});
        capacity_ = first;
        chunk_.reset(new unsigned char[capacity_]);
        ReceiveBody();
    }

    void ReceiveBody() {
        step_ = Step::Body;
        Receive(reinterpret_cast<char*>(chunk_.get()), std::min(capacity_, bodyLength_ - have_));
    }

    // The body goes through the walk piece by piece as it arrives, so nothing the size of the body is
    // ever allocated. A walk that has failed needs no more of it; every other walk reads the body to
    // its end, since a body that ends early is a failed exchange whatever it held.
    void BodyArrived(DWORD bytes) {
        if (bytes == 0) return Finish({});
        walk_->Feed({chunk_.get(), bytes});
        have_ += bytes;
        if (walk_->Failed() || have_ == bodyLength_) return Finish(walk_->TakeAnswer());
        if (bytes == capacity_ && capacity_ < kReceiveChunk && bodyLength_ - have_ > capacity_) TakeLargeChunk();
        ReceiveBody();
    }

    // A budget with no room for the large chunk leaves the exchange on its small one.
    void TakeLargeChunk() noexcept {
        if (!share_.Grow(kReceiveChunk)) return;
        if (g_spareChunk) {
            chunk_ = std::move(g_spareChunk);
        } else if (g_largeChunks < kMaxLargeChunks) {
            std::unique_ptr<unsigned char[]> fresh(new (std::nothrow) unsigned char[kReceiveChunk]);
            if (!fresh) return share_.Shrink(kReceiveChunk);
            ++g_largeChunks;
            chunk_ = std::move(fresh);
        } else {
            return share_.Shrink(kReceiveChunk);
        }
        share_.Shrink(capacity_);
        capacity_ = kReceiveChunk;
    }

    // What the answer holds stays charged until the request goes.
    void ReleaseBuffers() noexcept override {
        if (capacity_ == kReceiveChunk) {
            if (g_spareChunk) {
                --g_largeChunks;
            } else {
                g_spareChunk = std::move(chunk_);
            }
        }
        chunk_.reset();
        share_.Shrink(capacity_);
        capacity_ = 0;
        walk_.reset();
    }

    void Receive(char* into, std::size_t length) {
        WSABUF buffer{static_cast<ULONG>(std::min<std::size_t>(length, ULONG_MAX)), into};
        DWORD flags = 0;
        OVERLAPPED* operation = StartOperation();
        if (!Issued(::WSARecv(socket_.get(), &buffer, 1, nullptr, &flags, operation, nullptr))) return Finish({});
    }

    Step step_ = Step::Connect;
    std::string body_;
    wire::Header header_{};
    std::size_t have_ = 0;
    std::size_t bodyLength_ = 0;
    BudgetShare share_{g_answerBudget};  // before the walk, which gives back to it as it goes
    std::optional<wire::ReplyWalk> walk_;
    std::unique_ptr<unsigned char[]> chunk_;
    std::size_t capacity_ = 0;
};

}  // namespace

void AskActiveGame(const std::string& name, const std::string& type, CallbackRef callback) noexcept {
    StartNewExchange<GameExchange>(callback, name, type);
}

}  // namespace orvane
