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
#include <span>
#include <string_view>
#include <utility>

#include "common/answer_budget.hpp"
#include "common/fault_points.hpp"
#include "net/answer_buffer_sink.hpp"
#include "net/body_buffers.hpp"
#include "net/exchange_loop.hpp"
#include "net/reply_parser.hpp"
#include "net/services.hpp"
#include "net/sockets.hpp"
#include "net/wire.hpp"

namespace orvane {
namespace {

constexpr char kGameHost[] = ORVANE_GAME_HOST;
constexpr std::string_view kAnswerKey = "games";
// The header is received with room for the first body bytes behind it, so a short reply comes in one
// receive; the room is part of the exchange's record, which thousands in flight each hold.
constexpr std::size_t kHeadRoom = 64;

// Every byte of memory game-platform replies hold for their answers and their receiving, from the loop to
// the script thread's delivery: a hundred answers that come while the scripts are busy would otherwise
// fill a 32-bit host's 2 GiB. 256 MiB is room for sixteen whole answers of 16 MiB at once and an eighth
// of that space, whose scripts get a copy of each answer besides. An answer that would go past it is
// the empty text, like any other failure.
constexpr std::size_t kAnswerBudget = std::size_t{256} * 1024 * 1024;
bool EndStalledExchanges(std::size_t shortfall, const BudgetShare* asking) noexcept {
    return ExchangeLoop::Shared().EndStalled(shortfall, asking);
}
AnswerBudget g_answerBudget(kAnswerBudget, &EndStalledExchanges);

// Answers whose buffer may be their whole length while they fill, once their server has sent a fast
// piece (wire::WholeBuffers): a server that then trickles holds 16 MiB for what it sent. Four such
// hold a quarter of the budget at most; further long answers at the same moment grow their buffers
// with their bytes, which costs moves, not memory. Loop thread only.
wire::WholeBuffers g_wholeBuffers{4};

// A server that vanished without a word would hold its exchange's socket, record and callback until
// the idle limit below. Keep-alive probes end such an exchange sooner: the first after two minutes of
// silence, then one every ten seconds until the system gives up (after ten on Windows), so about four
// minutes in all. A live server's system answers them however long the server itself is silent.
constexpr ULONG kKeepAliveIdleMs = 2 * 60 * 1000;
constexpr ULONG kKeepAliveIntervalMs = 10 * 1000;

// A live server that stays silent is waited for this long at each step: the name lookup, connecting and
// sending (one operation), and each receive, so it is time with no byte arriving, not a limit on the
// whole exchange, and a slow long answer still comes whole. Past it the exchange ends as timed out, and
// with it the socket and callback it held. Longer than keep-alive takes to find a vanished server.
constexpr DWORD kIdleLimitMs = 5 * 60 * 1000;
// A server that trickles a byte within each idle limit would hold its exchange for ever: once its
// header has come, the whole exchange must end within the idle limit and the time its declared body
// takes at the slowest rate an answer is waited for.
constexpr std::uint64_t kSlowestBytesPerSecond = std::uint64_t{8} * 1024;

// Every exchange holds a socket, and with it one of the system's dynamic ports, which the host's own
// downloads share: about 16,000 on Windows, and each stays taken for minutes after its connection
// closes. 5,000 is the game platform's share of the 10,000 requests in flight measured at once
// (docs/performance.md), under a third of those ports. A request past it fails at once, so a script
// that polls a silent server cannot grow sockets and callbacks without bound.
constexpr long kMostInFlight = 5000;
std::atomic<long> g_inFlight{0};

// Counts its exchange from the script thread's making it to the loop's freeing it.
struct InFlight {
    InFlight() noexcept { g_inFlight.fetch_add(1); }
    ~InFlight() { g_inFlight.fetch_sub(1); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
};

int Bind(SOCKET socket, const sockaddr_in& at) noexcept {
    if (FaultHere(FaultKind::Bind)) {
        ::WSASetLastError(WSAEADDRINUSE);
        return SOCKET_ERROR;
    }
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&at), sizeof at);
}

void KeepAlive(SOCKET socket) noexcept {
    tcp_keepalive values{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
    DWORD bytes = 0;
    // Without it the exchange works all the same; only a vanished server is waited for as before.
    (void)::WSAIoctl(socket, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &bytes, nullptr, nullptr);
}

std::atomic<bool> g_streamNetworkStarted{false};

bool EnsureStreamNetworkStarted() { return StartWindowsSocketsOnce(g_streamNetworkStarted); }

// One connection, one request, one reply. A silent server keeps the exchange waiting, which costs a
// socket and this record, up to the idle limit of each step.
class GameExchange final : public Exchange {
public:
    GameExchange(const std::string& name, const std::string& type)
        : Exchange(Lane::Game), outgoing_(Framed(wire::ActiveGameRequestBody(name, type))) {}
    ~GameExchange() override = default;
    GameExchange(const GameExchange&) = delete;
    GameExchange& operator=(const GameExchange&) = delete;

    void Begin() override {
        (void)EnsureStreamNetworkStarted();
        LimitTo(kIdleLimitMs);  // a lookup that hangs
        ReachService(kGameHost, wire::kGamePort);
    }

    void AddressReady(std::optional<sockaddr_in> to) override {
        if (!to) return Fail(Failure::LookupFailed);
        if (outgoing_.empty()) return Fail(Failure::SendFailed);  // before a socket is made for it
        std::uint32_t error = 0;
        socket_ = OverlappedSocket(SOCK_STREAM, error);
        if (!socket_) return Fail(Failure::SocketFailed, error);
        // ConnectEx wants a socket bound already; the system picks the local port, as connect would.
        sockaddr_in any{};
        any.sin_family = AF_INET;
        const LPFN_CONNECTEX connectEx = ExchangeLoop::Shared().ConnectExFor(socket_.get());
        if (connectEx == nullptr || Bind(socket_.get(), any) != 0) {
            return Fail(Failure::SocketFailed, static_cast<std::uint32_t>(::WSAGetLastError()));
        }
        // The request goes out with the connection, in one operation: a send of its own cost the loop a
        // call to the system and a completion more per exchange.
        step_ = Step::Connect;
        OVERLAPPED* operation = NextOperation();
        const BOOL connected =
            FaultHere(FaultKind::ConnectEx)
                ? (::WSASetLastError(WSAENOBUFS), FALSE)
                : connectEx(socket_.get(), reinterpret_cast<const sockaddr*>(&*to), sizeof *to, outgoing_.data(),
                            static_cast<DWORD>(outgoing_.size()), nullptr, operation);
        if (!Issued(connected ? 0 : SOCKET_ERROR)) {
            return Fail(Failure::ConnectFailed, static_cast<std::uint32_t>(::WSAGetLastError()));
        }
    }

    void Completed(DWORD bytes, DWORD error) override {
        if (error != 0) {
            if (step_ != Step::Connect) return Fail(Failure::ReceiveFailed, error);
            ServiceUnreachable();
            return Fail(Failure::ConnectFailed, error);
        }
        switch (step_) {
            case Step::Connect: return Connected(bytes);
            case Step::Header: return HeaderArrived(bytes);
            case Step::Body: return BodyArrived(bytes);
        }
    }

private:
    enum class Step { Connect, Header, Body };

    // Header and body, or nothing where the body is too long for its header's length field, which the
    // exchange then fails as a request that could not be sent.
    static std::string Framed(std::string body) {
        if (body.size() > ULONG_MAX - wire::kHeaderSize) return {};
        const wire::Header header =
            wire::RequestHeader(wire::kActiveGameRequest, static_cast<std::uint32_t>(body.size()));
        body.insert(body.begin(), header.begin(), header.end());
        return body;
    }

    // The request went out with the connection; a short send is a failure that is not continued.
    void Connected(DWORD sent) {
        if (sent != outgoing_.size()) return Fail(Failure::SendFailed);
        outgoing_ = std::string();
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0);
        ReceiveHeader();
        if (HandedOn()) return;
        // Only a connection can vanish, and the system's call takes the loop 0.1 ms, which here the
        // server's turn covers.
        KeepAlive(socket_.get());
    }

    // A stream may split the 16 header bytes over several segments, so they are gathered like the body.
    // The first body bytes come with them where the stream has them already.
    void ReceiveHeader() {
        step_ = Step::Header;
        Receive(reinterpret_cast<char*>(head_) + have_, kHeadRoom - have_);
    }

    void HeaderArrived(DWORD bytes) {
        if (bytes == 0) return Fail(Failure::ConnectionClosed);  // the end of the stream before the whole header
        have_ += bytes;
        if (have_ < wire::kHeaderSize) return ReceiveHeader();
        wire::Header header{};
        std::copy_n(head_, header.size(), header.begin());
        const std::optional<std::uint32_t> length = wire::ReplyBodyLength(header);
        if (!length) return Fail(Failure::NoAnswer);
        // An oversized declared length is refused before anything is allocated or received.
        if (!wire::ReplyBodyLengthAcceptable(*length)) return Fail(Failure::ReplyTooLong);
        bodyLength_ = *length;
        EndWithin(kIdleLimitMs + std::uint64_t{bodyLength_} * 1000 / kSlowestBytesPerSecond);
        sink_.emplace(&share_, &TakeKeptBuffer, &g_wholeBuffers);
        parser_.emplace(kAnswerKey, bodyLength_, *sink_);
        // What came past the body belongs to nothing, as the parser ignores it too.
        const std::size_t early = std::min(have_ - wire::kHeaderSize, bodyLength_);
        have_ = early;
        if (early != 0) parser_->Feed({head_ + wire::kHeaderSize, early});
        if (parser_->Failed() || have_ == bodyLength_) return Parsed();
        // A long body comes in many receives, of which those that find their bytes there already are
        // done at once; telling the system so costs a call, which a short body would not win back.
        if (bodyLength_ - have_ > BodyBuffers::kFirst) CompleteAtOnceWhereSucceeded();
        ReceiveBody();
    }

    // Where the body's next bytes are the answer's and its buffer has space, they are received straight
    // into it; anywhere else into the receive buffer, made for the first such receive only, and parsed.
    void ReceiveBody() {
        step_ = Step::Body;
        const std::size_t rest = bodyLength_ - have_;
        std::span<unsigned char> into = parser_->AnswerTail();
        intoAnswer_ = !into.empty();
        // The rest of the body is the answer's and has its buffer: the receive buffers serve nothing
        // more.
        if (intoAnswer_ && into.size() >= rest) buffers_.GiveBack();
        if (!intoAnswer_) {
            // Past a decided parse the bytes are only counted.
            into = buffers_.Next(rest, parser_->Decided(), ExchangeLoop::Shared().Chunks());
            if (into.empty()) return Fail(Failure::OverBudget);
        }
        asked_ = std::min(into.size(), rest);
        Receive(reinterpret_cast<char*>(into.data()), asked_);
    }

    // The body goes through the parser piece by piece as it arrives, so nothing the size of the body is
    // ever allocated but the answer's buffer. A parse that has failed needs no more of it; any other
    // reads the body to its end, since a body that ends early is a failed exchange whatever it held.
    void BodyArrived(DWORD bytes) {
        if (bytes == 0) return Fail(Failure::ConnectionClosed);
        have_ += bytes;
        buffers_.Received(bytes, asked_);
        if (intoAnswer_) {
            parser_->Received(bytes);
            if (have_ == bodyLength_) return Parsed();
            // The bytes just come are looked through for the answer's first zero byte while the
            // next ones come.
            ReceiveBody();
            if (!HandedOn()) parser_->ScanAnswer();
            return;
        }
        if (ReceiveAhead()) {
            // The piece is parsed while the next one comes into the other buffer.
            if (HandedOn()) return;  // that receive failed at once, and the exchange with it
            parser_->Feed({buffers_.Ahead(), bytes});
            if (parser_->Failed()) Abandon(parser_->Why());
            return;
        }
        parser_->Feed({buffers_.Current(), bytes});
        if (parser_->Failed() || have_ == bodyLength_) return Parsed();
        ReceiveBody();
    }

    // The whole body has been parsed, or the parse has failed. The answer goes on in its buffer, with
    // what the buffer costs the budget, once the receive buffer has given back its part. A long
    // answer's buffer goes back to the loop when its request goes, warm for the next long answer.
    void Parsed() noexcept {
        if (parser_->Failed()) return Fail(parser_->Why());
        AnswerBuffer answer = parser_->TakeBuffer();
        if (answer.Capacity() >= ReceiveChunks::kSize) answer.KeepWith(&ExchangeLoop::KeepBuffer);
        ReleaseBuffers();
        Finish(std::move(answer), std::move(share_));
    }

    static AnswerBuffer TakeKeptBuffer(std::size_t atLeast) noexcept {
        return ExchangeLoop::Shared().TakeKeptBuffer(atLeast);
    }

    // Parsing a megabyte of small items takes the loop milliseconds, which the next receive need not
    // wait for: where the exchange receives through a large buffer and can have a second, the next
    // receive goes into that one before this piece is parsed. Not inside the answer, whose bytes are
    // received into its buffer once it has one.
    bool ReceiveAhead() {
        if (have_ == bodyLength_ || parser_->InAnswer() || parser_->Decided() || !buffers_.SwapForReadAhead()) {
            return false;
        }
        step_ = Step::Body;
        intoAnswer_ = false;
        const std::span<unsigned char> into =
            buffers_.Next(bodyLength_ - have_, false, ExchangeLoop::Shared().Chunks());
        asked_ = std::min(into.size(), bodyLength_ - have_);
        Receive(reinterpret_cast<char*>(into.data()), asked_);
        return true;
    }

    std::size_t HeldBudget(const BudgetShare* asking) const noexcept override {
        return asking == &share_ ? 0 : share_.Held();
    }
    void GiveBudgetBack() noexcept override { share_.Shrink(share_.Held()); }

    // What the answer holds stays in the share until the request goes.
    void ReleaseBuffers() noexcept override {
        buffers_.GiveBack();
        parser_.reset();
        sink_.reset();
    }

    // Each step gets the whole idle limit anew.
    OVERLAPPED* NextOperation() noexcept {
        LimitTo(kIdleLimitMs);
        return StartOperation();
    }

    void Receive(char* into, std::size_t length) {  // NOLINT(readability-non-const-parameter): received into
        WSABUF buffer{static_cast<ULONG>(std::min<std::size_t>(length, ULONG_MAX)), into};
        DWORD flags = 0;
        OVERLAPPED* operation = NextOperation();
        const int received = FaultHere(FaultKind::Receive)
                                 ? (::WSASetLastError(WSAENOBUFS), SOCKET_ERROR)
                                 : ::WSARecv(socket_.get(), &buffer, 1, nullptr, &flags, operation, nullptr);
        if (!Issued(received)) {
            return Fail(Failure::ReceiveFailed, static_cast<std::uint32_t>(::WSAGetLastError()));
        }
    }

    InFlight counted_;  // first, so that it counts for as long as the exchange exists
    Step step_ = Step::Connect;
    std::string outgoing_;                // until it has gone out
    unsigned char head_[kHeadRoom] = {};  // the reply's header, and the first body bytes behind it
    std::size_t have_ = 0;
    std::size_t bodyLength_ = 0;
    std::size_t asked_ = 0;              // of the receive under way
    bool intoAnswer_ = false;            // it is received straight into the answer's buffer
    BudgetShare share_{g_answerBudget};  // before the sink and the buffers, which give back to it
    std::optional<wire::AnswerBufferSink> sink_;
    std::optional<wire::ReplyParser> parser_;  // after the sink it hands the answer to
    BodyBuffers buffers_{share_};
};

}  // namespace

void AskActiveGame(const std::string& name, const std::string& type, CallbackRef callback) noexcept {
    // Only this thread adds to the count, so it cannot pass the bound between the look and the making.
    if (g_inFlight.load() >= kMostInFlight) {
        return RefuseRequest(StartRequest("GetActiveGame", std::move(callback)), Failure::TooManyInFlight);
    }
    StartExchange<GameExchange>("GetActiveGame", std::move(callback), name, type);
}

}  // namespace orvane
