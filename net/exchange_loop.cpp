#include "net/exchange_loop.hpp"

#include <mswsock.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/script_thread.hpp"
#include "net/sockets.hpp"

namespace orvane {

class ExchangeLoop {
public:
    // Script thread only, which is the only one that starts requests.
    bool Post(Exchange* exchange) noexcept {
        if (!Start()) return false;
        return ::PostQueuedCompletionStatus(port_, 0, kBegin, &exchange->slot_.overlapped) != FALSE;
    }

    void Limit(Exchange* exchange, DWORD ms) noexcept {
        if (exchange->limited_) Unlink(exchange);
        exchange->deadline_ = ::GetTickCount64() + ms;
        // Every limit so far is the same ten seconds, so this is an append; the walk keeps it sorted
        // whatever comes.
        Exchange* before = latest_;
        while (before != nullptr && before->deadline_ > exchange->deadline_) before = before->earlier_;
        exchange->earlier_ = before;
        exchange->later_ = before != nullptr ? before->later_ : earliest_;
        (exchange->later_ != nullptr ? exchange->later_->earlier_ : latest_) = exchange;
        (before != nullptr ? before->later_ : earliest_) = exchange;
        exchange->limited_ = true;
    }

    bool Associate(SOCKET socket) noexcept {
        return ::CreateIoCompletionPort(reinterpret_cast<HANDLE>(socket), port_, kOperation, 0) != nullptr;
    }

    void Unlink(Exchange* exchange) noexcept {
        (exchange->earlier_ != nullptr ? exchange->earlier_->later_ : earliest_) = exchange->later_;
        (exchange->later_ != nullptr ? exchange->later_->earlier_ : latest_) = exchange->earlier_;
        exchange->earlier_ = exchange->later_ = nullptr;
        exchange->limited_ = false;
    }

private:
    static constexpr ULONG_PTR kBegin = 1;
    static constexpr ULONG_PTR kOperation = 2;

    // The port and the thread stay for the life of the process once both are made.
    bool Start() noexcept {
        if (port_ != nullptr) return true;
        UniqueKernelHandle port(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        if (!port) return false;
        port_ = port.get();
        UniqueKernelHandle thread(
            ::CreateThread(nullptr, 256 * 1024, &Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!thread) {
            port_ = nullptr;
            return false;
        }
        (void)port.release();
        return true;
    }

    static DWORD WINAPI Run(LPVOID self) {
        static_cast<ExchangeLoop*>(self)->Serve();
        return 0;
    }

    [[noreturn]] void Serve() noexcept {
        for (;;) {
            // Answers whose delivery message found the window's queue full, or was never handled, are
            // announced again.
            DWORD wait = AnnounceWaiting();
            if (earliest_ != nullptr) {
                const std::uint64_t now = ::GetTickCount64();
                const std::uint64_t due = earliest_->deadline_ <= now ? 0 : earliest_->deadline_ - now;
                wait = static_cast<DWORD>(std::min<std::uint64_t>(due, wait));
            }
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            const BOOL ok = ::GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, wait);
            const DWORD error = ok ? 0 : ::GetLastError();
            if (overlapped != nullptr) {
                Exchange* exchange = reinterpret_cast<Exchange::Slot*>(overlapped)->owner;
                if (key == kBegin) {
                    Step(exchange, [&] { exchange->Begin(); });
                } else {
                    exchange->pending_ = false;
                    if (exchange->limited_) Unlink(exchange);
                    Step(exchange, [&] { exchange->Completed(bytes, error); });
                }
            }
            ExpireDue();
        }
    }

    // Runs one move of an exchange. A move that throws (out of memory) ends the exchange with the
    // empty text: at once when nothing is pending, else once the pending operation, which closing the
    // socket ends, has come back.
    template <class Move>
    static void Step(Exchange* exchange, Move move) noexcept {
        try {
            move();
        } catch (...) {
            if (exchange->pending_) {
                exchange->socket_.reset();
            } else {
                exchange->Finish({});
            }
        }
    }

    void ExpireDue() noexcept {
        const std::uint64_t now = ::GetTickCount64();
        while (earliest_ != nullptr && earliest_->deadline_ <= now) {
            Exchange* exchange = earliest_;
            Unlink(exchange);
            // The pending receive comes back as failed, and the exchange finishes from there.
            if (exchange->pending_) {
                exchange->socket_.reset();
            } else {
                exchange->Finish({});
            }
        }
    }

    HANDLE port_ = nullptr;
    Exchange* earliest_ = nullptr;
    Exchange* latest_ = nullptr;
};

namespace {
// Its threads run for the life of the process; a started module stays mapped as long.
ExchangeLoop g_loop;

struct KnownAddress {
    std::string host;
    std::uint16_t port = 0;
    std::optional<sockaddr_in> address;
    std::uint64_t at = 0;
};
// One per service; only the loop thread looks them up.
KnownAddress g_known[2];
constexpr std::uint64_t kAddressKeptMs = 1000;
}  // namespace

UniqueSocket Exchange::OverlappedSocket(int type) noexcept {
    UniqueSocket socket(::WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED));
    if (socket && !g_loop.Associate(socket.get())) socket.reset();
    return socket;
}

std::optional<sockaddr_in> Exchange::ServiceAddress(const char* host, std::uint16_t port) {
    // A burst of requests to the same service asks the resolver once, not once per request.
    const std::uint64_t now = ::GetTickCount64();
    KnownAddress* slot = nullptr;
    for (KnownAddress& known : g_known) {
        if (known.port == port && known.host == host) slot = &known;
    }
    if (slot != nullptr && now - slot->at < kAddressKeptMs) return slot->address;
    if (slot == nullptr) slot = &g_known[g_known[0].port == 0 ? 0 : 1];
    slot->host = host;
    slot->port = port;
    slot->address = ResolveHost(host, port);
    slot->at = now;
    return slot->address;
}

OVERLAPPED* Exchange::StartOperation() noexcept {
    slot_.overlapped = OVERLAPPED{};
    pending_ = true;
    return &slot_.overlapped;
}

bool Exchange::Issued(int result) noexcept {
    if (result == 0) return true;
    // A datagram too long for the buffer fails the call at once and still queues its completion (the
    // platform counts it a warning, not an error), so it is under way like a pending one.
    const int error = ::WSAGetLastError();
    if (error == WSA_IO_PENDING || error == WSAEMSGSIZE) return true;
    pending_ = false;
    return false;
}

void Exchange::LimitTo(DWORD ms) noexcept { g_loop.Limit(this, ms); }

void Exchange::Finish(std::string result) noexcept {
    if (limited_) g_loop.Unlink(this);
    socket_.reset();
    ReleaseBuffers();
    answer = std::move(result);
    QueueDelivery(this);
}

bool PostToExchangeLoop(Exchange* exchange) noexcept { return g_loop.Post(exchange); }

void StartExchange(std::unique_ptr<Exchange> exchange, ExchangePoster post) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (post(exchange.get())) {
        (void)exchange.release();  // the loop owns it now
        return;
    }
    // Answered like any failed request, by a delivery message the script thread takes when it next
    // serves its messages: never inside the call that started it.
    exchange->answer.clear();
    QueueDelivery(exchange.release());
    DeliverByTimerToo();
}

}  // namespace orvane
