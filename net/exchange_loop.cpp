#include "net/exchange_loop.hpp"

#include <mswsock.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "common/script_thread.hpp"
#include "common/worker.hpp"
#include "net/sockets.hpp"

namespace orvane {
namespace {

// Within this time an answer, found or not, serves every request for its name: a burst of requests
// asks the resolver once.
constexpr std::uint64_t kAddressKeptMs = 1000;
// Only the loop thread asks it and teaches it.
AddressCache g_addresses(kAddressKeptMs);

// One name's lookup on a worker of its own; its answer goes back to the loop through the port.
struct Lookup {
    struct Slot {
        OVERLAPPED overlapped;
        Lookup* owner;
    };
    Slot slot{{}, this};
    HANDLE port = nullptr;
    std::string host;
    LookedUp address;
    std::uint64_t at = 0;
};

}  // namespace

class ExchangeLoop {
public:
    // Script thread only, which is the only one that starts requests.
    bool Post(Exchange* exchange) noexcept {
        if (!Start()) return false;
        return ::PostQueuedCompletionStatus(port_, 0, kBegin, &exchange->slot_.overlapped) != FALSE;
    }

    bool Post(ServiceErrand* errand) noexcept {
        if (!Start()) return false;
        return ::PostQueuedCompletionStatus(port_, 0, kErrand, &errand->slot_.overlapped) != FALSE;
    }

    // Loop thread, for the one told to look the name up. When no worker can run the lookup, the name
    // counts as not found, as after a failed lookup, and is tried again once that answer is stale.
    void LookUp(std::string_view host) noexcept {
        std::unique_ptr<Lookup> lookup(new (std::nothrow) Lookup);
        if (lookup) {
            lookup->port = port_;
            try {
                lookup->host = host;
            } catch (...) {
                lookup.reset();
            }
        }
        if (lookup && StartPinnedWorker(&LookUpOnWorker, lookup.get())) {
            (void)lookup.release();  // the worker owns it now
            return;
        }
        Continue(g_addresses.Learn(host, std::nullopt, ::GetTickCount64()), std::nullopt);
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
    static constexpr ULONG_PTR kLookedUp = 3;
    static constexpr ULONG_PTR kErrand = 4;

    static void LookUpOnWorker(void* argument) {
        Lookup* lookup = static_cast<Lookup*>(argument);
        lookup->address = LookUpIpv4(lookup->host.c_str());
        // Dated when the answer came: a slow lookup must not hand on an answer already stale.
        lookup->at = ::GetTickCount64();
        // Everyone waiting on the name waits until the loop hears of this, so a port whose queue cannot
        // take the packet now is tried again.
        while (!::PostQueuedCompletionStatus(lookup->port, 0, kLookedUp, &lookup->slot.overlapped)) ::Sleep(100);
    }

    static void Continue(AddressWaiters waiting, LookedUp address) noexcept {
        while (AddressWaiter* waiter = waiting.Pop()) waiter->AddressKnown(address);
    }

    void Looked(Lookup* done) noexcept {
        const std::unique_ptr<Lookup> lookup(done);
        Continue(g_addresses.Learn(lookup->host, lookup->address, lookup->at), lookup->address);
    }

    void Errand(ServiceErrand* errand) noexcept {
        AddressCache::Answer answer{AddressCache::Next::Use, std::nullopt};
        try {
            answer = g_addresses.Ask(errand->host_, ::GetTickCount64(), *errand);
        } catch (...) {
            // No room for the name's entry: as if it could not be resolved.
        }
        if (answer.next == AddressCache::Next::Use) return errand->AddressKnown(answer.address);
        if (answer.next == AddressCache::Next::Look) LookUp(errand->host_);
    }

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
                if (key == kLookedUp) {
                    Looked(reinterpret_cast<Lookup::Slot*>(overlapped)->owner);
                } else if (key == kErrand) {
                    Errand(reinterpret_cast<ServiceErrand::Slot*>(overlapped)->owner);
                } else if (key == kBegin) {
                    Exchange* exchange = reinterpret_cast<Exchange::Slot*>(overlapped)->owner;
                    exchange->Run([&] { exchange->Begin(); });
                } else {
                    Exchange* exchange = reinterpret_cast<Exchange::Slot*>(overlapped)->owner;
                    exchange->pending_ = false;
                    // A limit covers the whole exchange, so it stays while the operation just ended
                    // is followed by the next.
                    exchange->Run([&] { exchange->Completed(bytes, error); });
                }
            }
            ExpireDue();
        }
    }

    void ExpireDue() noexcept {
        const std::uint64_t now = ::GetTickCount64();
        while (earliest_ != nullptr && earliest_->deadline_ <= now) {
            Exchange* exchange = earliest_;
            Unlink(exchange);
            exchange->Abandon();
        }
    }

    HANDLE port_ = nullptr;
    Exchange* earliest_ = nullptr;
    Exchange* latest_ = nullptr;
};

namespace {
// Its threads run for the life of the process; a started module stays mapped as long.
ExchangeLoop g_loop;
}  // namespace

UniqueSocket Exchange::OverlappedSocket(int type) noexcept {
    UniqueSocket socket(::WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED));
    if (socket && !g_loop.Associate(socket.get())) socket.reset();
    return socket;
}

void Exchange::ReachService(const char* host, std::uint16_t port) {
    servicePort_ = port;
    const AddressCache::Answer known = g_addresses.Ask(host, ::GetTickCount64(), *this);
    if (known.next == AddressCache::Next::Use) return AddressReady(ToSocketAddress(known.address, port));
    if (known.next == AddressCache::Next::Look) g_loop.LookUp(host);
}

void Exchange::AddressKnown(LookedUp address) noexcept {
    Run([&] { AddressReady(ToSocketAddress(address, servicePort_)); });
}

template <class Move>
void Exchange::Run(Move move) noexcept {
    try {
        move();
    } catch (...) {
        Abandon();
    }
}

void Exchange::Abandon() noexcept {
    if (pending_) {
        socket_.reset();
        return;
    }
    (void)AddressCache::Leave(*this);
    Finish({});
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

bool PostToExchangeLoop(ServiceErrand* errand) noexcept { return g_loop.Post(errand); }

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
