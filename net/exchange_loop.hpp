// The one thread that runs every network exchange of GetTipsId and GetActiveGame. Each exchange has a
// socket of its own, driven through an I/O completion port, so thousands of requests in flight cost
// sockets and small records rather than a thread each. Finished exchanges go to the bridge's delivery
// queue; the loop never waits for the script thread, nor the script thread for the loop.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "bridge/deliveries.hpp"
#include "common/win_handles.hpp"
#include "net/address_cache.hpp"

namespace orvane {

// One request's exchange with its service: a small state machine with one operation pending at a
// time. Every member but the constructor runs on the loop thread.
class Exchange : public Delivery, private AddressWaiter {
public:
    using Delivery::Delivery;

    // Makes the first move, or finishes at once.
    virtual void Begin() = 0;
    // The pending operation ended; error is 0 when it succeeded.
    virtual void Completed(DWORD bytes, DWORD error) = 0;

protected:
    // A socket for overlapped operations whose completions come to the loop; empty on failure.
    static UniqueSocket OverlappedSocket(int type) noexcept;
    // Calls AddressReady with the service's address, at once when it is known, else once its lookup,
    // which runs off the loop, has answered: a slow resolver holds up only the requests for its name.
    // The exchange may be finished, and freed, by the time this returns: it must be the last move.
    void ReachService(const char* host, std::uint16_t port);
    // The service's address, nothing when its name could not be resolved.
    virtual void AddressReady(std::optional<sockaddr_in> to) = 0;

    // The overlapped record of the one operation started next.
    OVERLAPPED* StartOperation() noexcept;
    // Whether the operation just started with StartOperation is under way (its completion will come);
    // takes the result of the call that started it.
    bool Issued(int result) noexcept;
    // The exchange must end within ms from now: when it has not, a pending operation is ended by closing
    // the socket, and one waiting for its address is finished with the empty text.
    void LimitTo(DWORD ms) noexcept;
    // Closes the socket, lets go of the exchange's buffers and hands the answer to the delivery queue.
    // Only with no operation pending; the exchange belongs to the queue afterwards.
    void Finish(std::string result) noexcept;
    // A finished exchange may wait a long while for the script thread to take its answer, so what it
    // held for receiving goes when it finishes, on the loop thread.
    virtual void ReleaseBuffers() noexcept {}

    UniqueSocket socket_;

private:
    friend class ExchangeLoop;
    struct Slot {
        OVERLAPPED overlapped;
        Exchange* owner;
    };

    void AddressKnown(LookedUp address) noexcept override;
    // Runs one move. A move that throws (out of memory) ends the exchange with the empty text.
    template <class Move>
    void Run(Move move) noexcept;
    // Ends the exchange with the empty text: at once, or once its pending operation, which closing the
    // socket ends, has come back.
    void Abandon() noexcept;

    Slot slot_{{}, this};
    bool pending_ = false;
    std::uint16_t servicePort_ = 0;
    // Deadline list, oldest first.
    std::uint64_t deadline_ = 0;
    Exchange* earlier_ = nullptr;
    Exchange* later_ = nullptr;
    bool limited_ = false;
};

// Hands an exchange to the loop, started on first use.
using ExchangePoster = bool (*)(Exchange* exchange);
bool PostToExchangeLoop(Exchange* exchange) noexcept;

// Work for a service that needs its address and answers no script: on the loop it waits for the
// address as an exchange does, and is continued once with it there.
class ServiceErrand : public AddressWaiter {
public:
    explicit ServiceErrand(const char* host) noexcept : host_(host) {}

protected:
    ~ServiceErrand() = default;

private:
    friend class ExchangeLoop;
    struct Slot {
        OVERLAPPED overlapped;
        ServiceErrand* owner;
    };
    Slot slot_{{}, this};
    const char* host_;
};

// Script thread: the loop owns the errand from here on; false when it cannot take it.
bool PostToExchangeLoop(ServiceErrand* errand) noexcept;

// Script thread: runs the exchange on the loop. When the loop cannot take it, the callback still comes,
// with the empty text, from the script thread's messages once this call has returned.
void StartExchange(std::unique_ptr<Exchange> exchange, ExchangePoster post = &PostToExchangeLoop) noexcept;

// Script thread: makes an exchange of that kind for the callback and starts it. When nothing could
// ever deliver its answer (the window is closed, or even its record cannot be made), the callback's
// reference goes at once: a script that goes on asking after WM_CLOSE must not fill the registry.
template <class Kind, class... Args>
void StartNewExchange(CallbackRef callback, const Args&... args) noexcept {
    if (!DeliveriesOpen()) {
        ReleaseCallback(callback);
        return;
    }
    std::unique_ptr<Exchange> exchange;
    try {
        exchange = std::make_unique<Kind>(callback, args...);
    } catch (...) {
        ReleaseCallback(callback);
        return;
    }
    StartExchange(std::move(exchange));
}

}  // namespace orvane
