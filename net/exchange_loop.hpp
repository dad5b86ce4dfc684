// The one thread that runs every network exchange of GetTipsId and GetActiveGame (net/exchange.hpp).
// Each exchange has a socket of its own, driven through an I/O completion port, so thousands of
// requests in flight cost sockets and small records rather than a thread each. An exchange answers
// its request and hands it to the bridge's delivery queue; the loop never waits for the script thread,
// nor the script thread for the loop.
#pragma once

#include <winsock2.h>

#include <mswsock.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "common/answer_budget.hpp"
#include "common/answer_buffer.hpp"
#include "common/intrusive_list.hpp"
#include "common/small_lock.hpp"
#include "net/address_cache.hpp"
#include "net/deadline_list.hpp"
#include "net/exchange.hpp"
#include "net/receive_chunks.hpp"

namespace orvane {

// The loop: its thread, its port and everything only that thread touches.
class ExchangeLoop {
public:
    // The one loop of the process, and the one way to it; its thread runs for the life of the
    // process, and a started module stays mapped as long.
    static ExchangeLoop& Shared() noexcept;

    // Script thread: hands the exchange over, starting the loop on first use; the loop owns it from
    // here on. False when the loop cannot be started or take it, and then it stays the caller's.
    bool Post(std::unique_ptr<Exchange>& exchange) noexcept;
    bool Post(std::unique_ptr<ServiceTask>& task) noexcept;

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
    // The buffer kept from a long answer, when it holds at least that many bytes: its pages are
    // touched already, where a fresh buffer of megabytes costs a page fault every 4 KiB. It comes with
    // its share of the budget.
    AnswerBuffer TakeKeptBuffer(std::size_t atLeast) noexcept;
    // Any thread: a long answer's buffer, whose request went, handed back to the loop to be kept.
    static void KeepBuffer(AnswerBuffer&& buffer) noexcept;
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
    static constexpr ULONG_PTR kTask = 4;
    static constexpr ULONG_PTR kReturnedBuffer = 5;
    struct Lookup;
    struct ReturnedBuffer;

    bool Start() noexcept;
    static DWORD WINAPI Run(LPVOID self);
    [[noreturn]] void Serve() noexcept;
    void Dispatch(ULONG_PTR key, OVERLAPPED* overlapped, DWORD bytes, DWORD error) noexcept;
    // Begins a few new exchanges of each lane; whether more wait.
    bool BeginTurn() noexcept;
    // Runs one move of an exchange; a move that throws (out of memory) abandons it.
    template <class Move>
    void Drive(Exchange* exchange, Move move) noexcept;
    void FreeHandedOn() noexcept;
    void LookUp(std::string_view host) noexcept;
    static void LookUpOnWorker(void* argument);
    void Looked(Lookup* done) noexcept;
    void RunTask(ServiceTask* task) noexcept;
    void Returned(ReturnedBuffer* returned) noexcept;
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
    Intake intake_[kLanes] ORVANE_GUARDED_BY(intakeLock_);
    // Exchanges whose address a lookup brought, by lane, each going on in its turn as a new one
    // would: thousands may wait on one name. Loop thread only.
    Intake addressed_[kLanes];
    bool wakePosted_ ORVANE_GUARDED_BY(intakeLock_) = false;
    OverlappedRecord<ExchangeLoop> wake_{this};
    // The exchanges' limits: a list for each length of step limit they use (the tips reply's, the game
    // platform's idle limit), and one for whole exchanges' limits.
    DeadlineLists deadlines_;
    IntrusiveList<Exchange, &Exchange::handedOnLink_> handedOn_;
    // Within these times an answer serves every request for its name, so a burst of requests asks the
    // resolver once. A lookup costs a thread and milliseconds where an exchange costs one, and the
    // system's resolver tells no lifetime of its answers, so an address found is kept for minutes;
    // one the service could not be reached at, or a name not found, only for a second.
    static constexpr std::uint64_t kAddressFoundKeptMs = std::uint64_t{5} * 60 * 1000;
    static constexpr std::uint64_t kAddressFailedKeptMs = 1000;
    AddressCache addresses_{kAddressFoundKeptMs, kAddressFailedKeptMs};
    ReceiveChunks chunks_;
    // One buffer for the next long answer, held of the answers' budget while it waits, so it is given
    // back once no long answer has wanted it for this long.
    static constexpr std::uint64_t kBufferKeptMs = 15000;
    AnswerBuffer keptBuffer_;
    std::uint64_t keptUntil_ = 0;
    LPFN_CONNECTEX connectEx_ = nullptr;
};

}  // namespace orvane
