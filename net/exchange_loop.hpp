// The one thread that runs every network exchange of GetTipsId and GetActiveGame. Each exchange has a
// socket of its own, driven through an I/O completion port, so thousands of requests in flight cost
// sockets and small records rather than a thread each. An exchange answers its request and hands it to
// the bridge's delivery queue; the loop never waits for the script thread, nor the script thread for
// the loop.
//
// Who owns what: the script thread makes an exchange around its request and posts it to the loop,
// which owns it from then on. Between its moves the exchange is reachable only through what it waits
// for (its one pending operation, its entry in the address cache, the deadline list), and every move
// starts on the loop thread from one of those. Once it has answered, its request goes on to the
// delivery queue, and the loop frees the exchange before it waits for the next event.
#pragma once

#include <winsock2.h>

#include <mswsock.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "bridge/request.hpp"
#include "bridge/request_start.hpp"
#include "common/answer_budget.hpp"
#include "common/answer_room.hpp"
#include "common/failure.hpp"
#include "common/intrusive_list.hpp"
#include "common/small_lock.hpp"
#include "common/win_handles.hpp"
#include "net/address_cache.hpp"
#include "net/receive_chunks.hpp"

namespace orvane {

class ExchangeLoop;
struct DeadlineList;

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
    // way as timed out. A limit set again replaces the one before, but never reaches past EndWithin's.
    void LimitTo(DWORD ms) noexcept;
    // The whole exchange must end within ms from now, however often its limit is set again.
    void EndWithin(std::uint64_t ms) noexcept;

    // What it holds of the answers' budget that may be given back while it waits, unless the share
    // is the one asking; and giving it back, the memory it stands for going only once the exchange has
    // ended. Only game-platform answers hold any.
    virtual std::size_t HeldBudget(const BudgetShare* /*asking*/) const noexcept { return 0; }
    virtual void GiveBudgetBack() noexcept {}

    // Answers the request and hands it to the delivery queue: the text, with what its room costs the
    // budget of answers. Only with no operation pending; the exchange is done with afterwards.
    void Finish(std::string answer, BudgetShare charge = {}) noexcept;
    void Finish(AnswerRoom answer, BudgetShare charge = {}) noexcept;
    // Answers with the empty text, the cause written for whoever debugs the script.
    void Fail(Failure cause, std::uint32_t code = 0) noexcept;
    // A finished exchange's buffers go when it answers, on the loop thread.
    virtual void ReleaseBuffers() noexcept {}
    // Ends the exchange with the cause: at once, or once its pending operation, which closing the
    // socket ends, has come back.
    void Abandon(Failure cause) noexcept;
    // It has answered its request; nothing of it may be used any more but to return.
    bool Answered() const noexcept { return request_ == nullptr; }

    UniqueSocket socket_;

private:
    friend class ExchangeLoop;
    friend struct DeadlineList;
    friend void LaunchExchange(std::unique_ptr<Request>, std::unique_ptr<Exchange>,
                               bool (*)(std::unique_ptr<Exchange>&) noexcept) noexcept;
    void AddressKnown(LookedUp address) noexcept override;
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
    LookedUp serviceAddress_;   // the one it was given
    bool addressKept_ = false;  // it came from the cache, not from a lookup made for this exchange
    // The deadline list of its limit's length, oldest first; none while it has no limit.
    std::uint64_t deadline_ = 0;
    std::uint64_t activeSince_ = 0;  // when its limit was last set: its last move
    // EndWithin's, in the loop's list of them, earliest first.
    std::uint64_t endBy_ = 0;
    ListLink<Exchange> wholeLink_;
    bool wholeLimited_ = false;
    ListLink<Exchange> deadlineLink_;
    DeadlineList* limit_ = nullptr;
    ListLink<Exchange> answeredLink_;  // the loop's list of answered exchanges to free
};

// Work for a service that needs its address and answers no script: on the loop it waits for the
// address as an exchange does, and is continued once with it there, owning itself from then on.
class ServiceErrand : public AddressWaiter {
public:
    explicit ServiceErrand(const char* host) noexcept : host_(host) {}
    ~ServiceErrand() override = default;

private:
    friend class ExchangeLoop;
    OverlappedRecord<ServiceErrand> posted_{this};
    const char* host_;
};

// Exchanges limited to one length of time, in order of their deadlines. Each length has a list of its
// own, so that a new deadline is the latest of its list and adding it is an append, however many
// exchanges wait under a longer limit.
struct DeadlineList {
    DWORD ms = 0;                                                 // 0 until an exchange is limited to it
    IntrusiveList<Exchange, &Exchange::deadlineLink_> exchanges;  // earliest first

    void Add(Exchange* exchange) noexcept;
    void Remove(Exchange* exchange) noexcept;
};

// The loop: its thread, its port and everything only that thread touches.
class ExchangeLoop {
public:
    // The one loop of the process, and the one way to it; its thread runs for the life of the
    // process, and a started module stays mapped as long.
    static ExchangeLoop& Shared() noexcept;

    // Script thread: hands the exchange over, starting the loop on first use; the loop owns it from
    // here on. False when the loop cannot be started or take it, and then it stays the caller's.
    bool Post(std::unique_ptr<Exchange>& exchange) noexcept;
    bool Post(std::unique_ptr<ServiceErrand>& errand) noexcept;

    // Loop thread: the pieces of state every exchange shares.
    AddressCache& Addresses() noexcept;
    ReceiveChunks& Chunks() noexcept;
    // ConnectEx, found once; null where the platform lacks it.
    LPFN_CONNECTEX ConnectExFor(SOCKET socket) noexcept;
    bool Associate(SOCKET socket) noexcept;
    // Has the socket's operations that succeed at once skip the port; false where that cannot be
    // trusted, and then they come through the port as before. A provider layered over the system's
    // sockets that does not hand out the system's own handles may post a completion all the same, so
    // the socket's provider is asked first: a call that only long bodies, which win far more, pay.
    bool SkipPortOnSuccess(SOCKET socket) noexcept;
    // The room kept from a long answer, when it holds at least that many bytes: its pages are
    // touched already, where a fresh room of megabytes costs a page fault every 4 KiB. It comes with
    // its charge.
    AnswerRoom TakeKeptRoom(std::size_t atLeast) noexcept;
    // Any thread: a long answer's room, whose request went, handed back to the loop to be kept.
    static void KeepRoom(AnswerRoom&& room) noexcept;
    // Loop thread, where the answers' budget is spent: ends the exchanges waiting longest, and at
    // least kStalledMs, for their server, which hold budget, until their bytes cover the shortfall;
    // they end as over_budget. Stalled servers could otherwise hold the whole budget for their idle
    // limit, and every healthy answer meanwhile would fail. False, with nothing ended, when all of
    // them would not cover it.
    bool EndStalled(std::size_t shortfall, const BudgetShare* asking) noexcept;
    static constexpr std::uint64_t kStalledMs = 2000;

private:
    friend class Exchange;
    static constexpr ULONG_PTR kWake = 1;
    static constexpr ULONG_PTR kOperation = 2;
    static constexpr ULONG_PTR kLookedUp = 3;
    static constexpr ULONG_PTR kErrand = 4;
    static constexpr ULONG_PTR kRoom = 5;
    struct Lookup;
    struct ReturnedRoom;

    bool Start() noexcept;
    static DWORD WINAPI Run(LPVOID self);
    [[noreturn]] void Serve() noexcept;
    void Dispatch(ULONG_PTR key, OVERLAPPED* overlapped, DWORD bytes, DWORD error) noexcept;
    // Begins a few new exchanges of each lane; whether more wait.
    bool BeginTurn() noexcept;
    // Runs one move of an exchange; a move that throws (out of memory) abandons it.
    template <class Move>
    void Drive(Exchange* exchange, Move move) noexcept;
    void FreeAnswered() noexcept;
    void LookUp(std::string_view host) noexcept;
    static void LookUpOnWorker(void* argument);
    void Looked(Lookup* done) noexcept;
    void Errand(ServiceErrand* errand) noexcept;
    void Returned(ReturnedRoom* returned) noexcept;
    void Limit(Exchange* exchange, DWORD ms) noexcept;
    void Unlink(Exchange* exchange) noexcept;
    void LimitWhole(Exchange* exchange) noexcept;
    void UnlinkWhole(Exchange* exchange) noexcept;
    // How long the loop may wait for its next event before a deadline passes.
    DWORD UntilNextDeadline() const noexcept;
    void ExpireDue() noexcept;

    // The port and the thread stay for the life of the process once both are made.
    HANDLE port_ = nullptr;
    // Each turn of the loop takes at most this many events, then begins at most this many new
    // exchanges of each lane: a burst of starts or of completions delays the rest by one turn, a few
    // milliseconds, however long the burst.
    static constexpr int kEventsPerTurn = 64;
    static constexpr int kBeginsPerLane = 8;
    // New exchanges, by lane, waiting for their turn: the script thread adds, the loop takes. The wake
    // packet is on its way, or the loop will look again without one, while wakePosted_ holds.
    using Intake = IntrusiveList<Exchange, &Exchange::intakeLink_>;
    SmallLock intakeLock_;
    Intake intake_[kLanes];
    // Exchanges whose address a lookup brought, by lane, each going on in its turn as a new one
    // would: thousands may wait on one name. Loop thread only.
    Intake addressed_[kLanes];
    bool wakePosted_ = false;
    OverlappedRecord<ExchangeLoop> wake_{this};
    // One list per length of limit the exchanges use (the tips reply's, the game platform's idle
    // limit); a further length would share the last list, which stays in order, only slower to add to.
    DeadlineList deadlines_[2];
    // Whole exchanges' limits (EndWithin): each set once, so the walk that keeps them in order is paid
    // once an exchange, not at each step.
    IntrusiveList<Exchange, &Exchange::wholeLink_> wholeLimits_;
    IntrusiveList<Exchange, &Exchange::answeredLink_> answered_;
    // Within these times an answer serves every request for its name, so a burst of requests asks the
    // resolver once. A lookup costs a thread and milliseconds where an exchange costs one, and the
    // system's resolver tells no lifetime of its answers, so an address found is kept for minutes;
    // one the service could not be reached at, or a name not found, only for a second.
    static constexpr std::uint64_t kAddressFoundKeptMs = std::uint64_t{5} * 60 * 1000;
    static constexpr std::uint64_t kAddressFailedKeptMs = 1000;
    AddressCache addresses_{kAddressFoundKeptMs, kAddressFailedKeptMs};
    ReceiveChunks chunks_;
    // One room for the next long answer, charged to the answers' budget while it waits, so it is given
    // back once no long answer has wanted it for this long.
    static constexpr std::uint64_t kRoomKeptMs = 15000;
    AnswerRoom keptRoom_;
    std::uint64_t keptUntil_ = 0;
    LPFN_CONNECTEX connectEx_ = nullptr;
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
