// One network exchange of GetTipsId or GetActiveGame, as the exchange loop (net/exchange_loop.hpp)
// drives it: a small state machine around its request with one operation pending at a time, and how
// a request gets one.
//
// Who owns what: the script thread makes an exchange around its request and posts it to the loop,
// which owns it from then on. Between its moves the exchange is reachable only through what it waits
// for (its one pending operation, its entry in the address cache, its time limits, a list of the
// loop's), and every move starts on the loop thread from one of those. Once it has handed its request
// on to the delivery queue, nothing of it is used but to return from the move, and the loop frees it
// before it waits for the next event.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "bridge/request.hpp"
#include "bridge/request_start.hpp"
#include "common/answer_budget.hpp"
#include "common/answer_buffer.hpp"
#include "common/failure.hpp"
#include "common/intrusive_list.hpp"
#include "common/win_handles.hpp"
#include "net/address_cache.hpp"
#include "net/deadline_list.hpp"

namespace orvane {

class ExchangeLoop;

// What the loop's port hands back for one pending operation or posted packet: its OVERLAPPED, first,
// so that the owner who waits for it is found from the OVERLAPPED alone.
template <class Owner>
struct OverlappedRecord {
    OVERLAPPED overlapped{};
    Owner* owner;

    explicit OverlappedRecord(Owner* whose) noexcept : owner(whose) {}
    // Only for an OVERLAPPED of a record of this kind, as the completion key tells.
    static Owner* OwnerOf(OVERLAPPED* overlapped) noexcept {
        static_assert(std::is_standard_layout_v<OverlappedRecord>, "the OVERLAPPED must start the record");
        return reinterpret_cast<OverlappedRecord*>(overlapped)->owner;
    }
};

// Which service an exchange asks: the loop begins new exchanges of each in turn, so that a burst for
// one holds up the other by one turn at most.
enum class Lane : std::uint8_t { Tips, Game };
inline constexpr std::size_t kLanes = 2;

// One request's exchange with its service: a small state machine with one operation pending at a
// time. Every member but the constructor and the destructor runs on the loop thread.
class Exchange : private AddressWaiter {
public:
    explicit Exchange(Lane lane = Lane::Tips) noexcept : lane_(lane) {}
    // The loop frees an exchange only once it has answered, and the script thread only one it never
    // handed over: neither has anything left to do here.
    ~Exchange() override = default;
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // Makes the first move, or answers at once.
    virtual void Begin() = 0;
    // The pending operation ended; error is 0 when it succeeded.
    virtual void Completed(DWORD bytes, DWORD error) = 0;

protected:
    // A socket for overlapped operations whose completions come to the loop; empty on failure, with
    // the system's error code in socketError.
    UniqueSocket OverlappedSocket(int type, std::uint32_t& socketError) noexcept;
    // Calls AddressReady with the service's address, at once when it is known, else once its lookup,
    // which runs off the loop, has answered: a slow resolver holds up only the requests for its name.
    // The exchange may be answered, and freed, by the time this returns: it must be the last move.
    void ReachService(const char* host, std::uint16_t port);
    // The service's address, nothing when its name could not be resolved.
    virtual void AddressReady(std::optional<sockaddr_in> to) = 0;
    // The service could not be reached at the address it was given: the next exchanges look its name
    // up again soon.
    void ServiceUnreachable() noexcept;

    // From now on an operation of its socket that succeeds as it is started brings no completion to
    // the port: the loop continues the exchange with it once the move that started it is over, which
    // saves a packet through the port per operation. Only where the platform can be trusted to skip
    // the port (ExchangeLoop::SkipPortOnSuccess); nothing changes elsewhere.
    void CompleteAtOnceWhereSucceeded() noexcept;

    // The overlapped record of the one operation started next.
    OVERLAPPED* StartOperation() noexcept;
    // Whether the operation just started with StartOperation is under way (its completion will come:
    // through the port, or, where it succeeded at once on a socket that skips the port, from the loop
    // after this move); takes the result of the call that started it.
    bool Issued(int result) noexcept;
    // The exchange must end, or be limited again, within ms from now: when it has not, a pending
    // operation is ended by closing the socket, and one waiting for its address fails at once, either
    // way as timed out. A limit set again replaces the one before.
    void LimitTo(DWORD ms) noexcept;
    // The whole exchange must end within ms from now, however often its step's limit is set again.
    void EndWithin(std::uint64_t ms) noexcept;

    // What it holds of the answers' budget that may be given back while it waits, unless the share
    // is the one asking; and giving it back, the memory it stands for going only once the exchange has
    // ended. Only game-platform answers hold any.
    virtual std::size_t HeldBudget(const BudgetShare* /*asking*/) const noexcept { return 0; }
    virtual void GiveBudgetBack() noexcept {}

    // Answers the request and hands it to the delivery queue: the text, with what its buffer costs the
    // budget of answers. Only with no operation pending; the exchange is done with afterwards.
    void Finish(std::string answer, BudgetShare share = {}) noexcept;
    void Finish(AnswerBuffer answer, BudgetShare share = {}) noexcept;
    // Answers with the empty text, the cause written for whoever debugs the script.
    void Fail(Failure cause, std::uint32_t code = 0) noexcept;
    // A finished exchange's buffers go when it answers, on the loop thread.
    virtual void ReleaseBuffers() noexcept {}
    // Ends the exchange with the cause: at once, or once its pending operation, which closing the
    // socket ends, has come back.
    void Abandon(Failure cause) noexcept;
    // It has handed its request on, answered; nothing of it may be used any more but to return.
    bool HandedOn() const noexcept { return request_ == nullptr; }

    UniqueSocket socket_;

private:
    friend class ExchangeLoop;
    friend void LaunchExchange(std::unique_ptr<Request>, std::unique_ptr<Exchange>,
                               bool (*)(std::unique_ptr<Exchange>&) noexcept) noexcept;
    void AddressKnown(LookedUp address) noexcept override;
    // Its pending operation came back through the port: ended from outside (its time passed, or a
    // move ran out of memory), it fails for that reason, even where the operation had come back whole
    // before its socket was closed.
    void OperationEnded(DWORD bytes, DWORD error);
    void HandOn() noexcept;

    std::unique_ptr<Request> request_;  // given at launch; null once answered
    const Lane lane_;
    // The loop's intake until it begins; later its list of exchanges whose address came, until their
    // turn to go on with it.
    ListLink<Exchange> intakeLink_;
    bool addressReady_ = false;  // in that list
    OverlappedRecord<Exchange> operation_{this};
    bool pending_ = false;
    bool skipsPort_ = false;  // its socket's operations that succeed at once bring no completion
    // The bytes of the operation that succeeded as it was started, for the loop to complete it with.
    std::optional<DWORD> doneAtOnce_;
    // Why a pending operation was ended from outside; its completion fails with this cause.
    std::optional<Failure> abandonedFor_;
    const char* serviceHost_ = nullptr;  // the module's constant
    std::uint16_t servicePort_ = 0;
    LookedUp serviceAddress_;          // the one it was given
    bool addressKept_ = false;         // it came from the cache, not from a lookup made for this exchange
    Deadline stepLimit_{this};         // LimitTo's; its time set is the exchange's last move
    Deadline wholeLimit_{this};        // EndWithin's
    ListLink<Exchange> handedOnLink_;  // the loop's list of exchanges handed on, to free
};

// Work for a service that needs its address and answers no script: on the loop it waits for the
// address as an exchange does, and is continued once with it there, owning itself from then on.
class ServiceTask : public AddressWaiter {
public:
    explicit ServiceTask(const char* host) noexcept : host_(host) {}
    ~ServiceTask() override = default;

private:
    friend class ExchangeLoop;
    OverlappedRecord<ServiceTask> posted_{this};
    const char* host_;
};

// Script thread: gives the exchange its request and posts it to the loop (post stands in for the loop
// in tests). A request whose exchange could not be made is refused (no_memory), like one the loop
// cannot take (loop_unavailable; bridge/request_start.hpp): its callback gets the empty text.
using ExchangePoster = bool (*)(std::unique_ptr<Exchange>& exchange) noexcept;
void LaunchExchange(std::unique_ptr<Request> request, std::unique_ptr<Exchange> exchange,
                    ExchangePoster post = nullptr) noexcept;

// Script thread: makes an exchange of that kind for a request of the method's and starts it, by the
// request-start rules (bridge/request_start.hpp). When the loop cannot take it, the callback still
// comes, with the empty text, from the script thread's messages once this call has returned.
template <class Kind, class... Args>
void StartExchange(const char* operation, CallbackRef callback, const Args&... args) noexcept {
    std::unique_ptr<Request> request = StartRequest(operation, std::move(callback));
    if (!request) return;
    std::unique_ptr<Exchange> exchange;
    try {
        exchange = std::make_unique<Kind>(args...);
    } catch (...) {
        // Launched empty-handed, it answers that memory ran out.
    }
    LaunchExchange(std::move(request), std::move(exchange));
}

}  // namespace orvane
