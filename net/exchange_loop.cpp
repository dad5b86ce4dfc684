#include "net/exchange_loop.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "bridge/deliveries.hpp"
#include "bridge/request_start.hpp"
#include "common/fault_points.hpp"
#include "common/never_destroyed.hpp"
#include "common/thread_checks.hpp"
#include "common/worker.hpp"
#include "net/sockets.hpp"

namespace orvane {

// One name's lookup on a worker of its own; its answer goes back to the loop through the port.
struct ExchangeLoop::Lookup {
    OverlappedRecord<Lookup> answered{this};
    HANDLE port = nullptr;
    std::string host;
    LookedUp address;
    std::uint64_t at = 0;
};

// A room on its way back to the loop.
struct ExchangeLoop::ReturnedRoom {
    OverlappedRecord<ReturnedRoom> posted{this};
    AnswerRoom room;
};

namespace {
// Never destroyed: at process exit the loop thread is ended wherever it is, perhaps inside the
// address cache's list or the heap, so what it holds is neither freed nor closed then.
NeverDestroyed<ExchangeLoop> g_loop;  // named only by Shared(); made when the module loads
}  // namespace

ExchangeLoop& ExchangeLoop::Shared() noexcept { return g_loop.Get(); }

// ---- the loop --------------------------------------------------------------------------------------

bool ExchangeLoop::Post(std::unique_ptr<Exchange>& exchange) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (!Start()) return false;
    auto& intake = intake_[static_cast<std::size_t>(exchange->lane_)];
    bool wake = false;
    {
        const std::lock_guard<SmallLock> guard(intakeLock_);
        intake.PushBack(*exchange);
        wake = !std::exchange(wakePosted_, true);
    }
    if (!wake || ::PostQueuedCompletionStatus(port_, 0, kWake, &wake_.overlapped)) {
        (void)exchange.release();  // the loop's from here on
        return true;
    }
    // The loop looks at the intake after every turn, so it may have begun the exchange already; if
    // not, it is refused, and the next post tries to wake the loop again.
    const std::lock_guard<SmallLock> guard(intakeLock_);
    wakePosted_ = false;
    for (Exchange* waiting = intake.Last(); waiting != nullptr; waiting = Intake::Earlier(*waiting)) {
        if (waiting == exchange.get()) {
            intake.Remove(*waiting);
            return false;
        }
    }
    (void)exchange.release();
    return true;
}

bool ExchangeLoop::BeginTurn() noexcept {
    // Those whose address came first, as they were begun before; then new ones, lane by lane.
    for (int round = 0; round < kBeginsPerLane; ++round) {
        for (auto& addressed : addressed_) {
            Exchange* exchange = addressed.PopFront();
            if (exchange == nullptr) continue;
            exchange->addressReady_ = false;
            Drive(exchange,
                  [&] { exchange->AddressReady(ToSocketAddress(exchange->serviceAddress_, exchange->servicePort_)); });
        }
    }
    Exchange* turn[kBeginsPerLane * kLanes];
    std::size_t count = 0;
    bool more = false;
    {
        const std::lock_guard<SmallLock> guard(intakeLock_);
        for (int round = 0; round < kBeginsPerLane; ++round) {
            for (auto& intake : intake_) {
                if (Exchange* next = intake.PopFront()) turn[count++] = next;
            }
        }
        for (const auto& intake : intake_) more = more || !intake.Empty();
        // Without more to begin, the next exchange posted wakes the loop.
        if (!more) wakePosted_ = false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        Exchange* exchange = turn[i];
        Drive(exchange, [&] { exchange->Begin(); });
    }
    for (const auto& addressed : addressed_) more = more || !addressed.Empty();
    return more;
}

bool ExchangeLoop::Post(std::unique_ptr<ServiceErrand>& errand) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (!Start() || !::PostQueuedCompletionStatus(port_, 0, kErrand, &errand->posted_.overlapped)) return false;
    (void)errand.release();  // the loop's from here on
    return true;
}

AddressCache& ExchangeLoop::Addresses() noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    return addresses_;
}

ReceiveChunks& ExchangeLoop::Chunks() noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    return chunks_;
}

LPFN_CONNECTEX ExchangeLoop::ConnectExFor(SOCKET socket) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (connectEx_ == nullptr) {
        GUID id = WSAID_CONNECTEX;
        DWORD bytes = 0;
        ::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &connectEx_, sizeof connectEx_, &bytes,
                   nullptr, nullptr);
    }
    return connectEx_;
}

AnswerRoom ExchangeLoop::TakeKeptRoom(std::size_t atLeast) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    // A short answer's fresh room costs no page faults to speak of, and would carry the kept room's
    // megabytes, and its charge, to the script thread.
    if (!keptRoom_ || keptRoom_.Capacity() < atLeast || atLeast < ReceiveChunks::kSize) return {};
    keptRoom_.Clear();
    return std::move(keptRoom_);
}

void ExchangeLoop::KeepRoom(AnswerRoom&& room) noexcept {
    // Without a record for it, or a port to take it, the room is only freed.
    HANDLE port = Shared().port_;
    if (port == nullptr) return;
    std::unique_ptr<ReturnedRoom> returned(new (std::nothrow) ReturnedRoom);
    if (!returned) return;
    returned->room = std::move(room);
    if (::PostQueuedCompletionStatus(port, 0, kRoom, &returned->posted.overlapped)) (void)returned.release();
}

void ExchangeLoop::Returned(ReturnedRoom* returned) noexcept {
    const std::unique_ptr<ReturnedRoom> record(returned);
    // The larger of two is kept, since it serves more answers; the other goes now, and keeps nothing
    // longer.
    if (keptRoom_ && record->room.Capacity() < keptRoom_.Capacity()) return;
    keptRoom_ = std::move(record->room);
    keptUntil_ = ::GetTickCount64() + kRoomKeptMs;
}

bool ExchangeLoop::Associate(SOCKET socket) noexcept {
    if (FaultHere(FaultKind::PortAssociation)) return false;
    return ::CreateIoCompletionPort(reinterpret_cast<HANDLE>(socket), port_, kOperation, 0) != nullptr;
}

bool ExchangeLoop::SkipPortOnSuccess(SOCKET socket) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    WSAPROTOCOL_INFOW provider{};
    int length = sizeof provider;
    if (::getsockopt(socket, SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&provider), &length) != 0 ||
        (provider.dwServiceFlags1 & XP1_IFS_HANDLES) == 0) {
        return false;
    }
    return ::SetFileCompletionNotificationModes(reinterpret_cast<HANDLE>(socket), FILE_SKIP_COMPLETION_PORT_ON_SUCCESS);
}

bool ExchangeLoop::Start() noexcept {
    if (port_ != nullptr) return true;
    UniqueKernelHandle port(
        FaultHere(FaultKind::Event) ? nullptr : ::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port) return false;
    port_ = port.get();
    UniqueKernelHandle thread(
        FaultHere(FaultKind::Thread)
            ? nullptr
            : ::CreateThread(nullptr, std::size_t{256} * 1024, &Run, this, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
        port_ = nullptr;
        return false;
    }
    (void)port.release();
    return true;
}

DWORD WINAPI ExchangeLoop::Run(LPVOID self) {
    NoteThread(ThreadRole::Loop);
    static_cast<ExchangeLoop*>(self)->Serve();
    return 0;
}

void ExchangeLoop::Serve() noexcept {
    bool moreToBegin = false;
    for (;;) {
        DWORD wait = moreToBegin ? 0 : UntilNextDeadline();
        for (int taken = 0; taken < kEventsPerTurn; ++taken) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            const BOOL ok = ::GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, wait);
            if (overlapped == nullptr) break;  // nothing came within the wait
            Dispatch(key, overlapped, bytes, ok ? 0 : ::GetLastError());
            wait = 0;
        }
        moreToBegin = BeginTurn();
        ExpireDue();
        FreeAnswered();
    }
}

void ExchangeLoop::Dispatch(ULONG_PTR key, OVERLAPPED* overlapped, DWORD bytes, DWORD error) noexcept {
    switch (key) {
        case kWake: return;  // the turn after these events begins what waits
        case kLookedUp: return Looked(OverlappedRecord<Lookup>::OwnerOf(overlapped));
        case kErrand: return Errand(OverlappedRecord<ServiceErrand>::OwnerOf(overlapped));
        case kRoom: return Returned(OverlappedRecord<ReturnedRoom>::OwnerOf(overlapped));
        default: break;
    }
    Exchange* exchange = OverlappedRecord<Exchange>::OwnerOf(overlapped);
    exchange->pending_ = false;
    // Ended from outside (its time passed, or a move ran out of memory): that is why, even where the
    // operation had come back whole before its socket was closed. A service silent for a step's whole
    // time at an address kept from before may have moved, so its name is looked up again soon; not one
    // just looked up, which a slow lookup left less of its time.
    Drive(exchange, [&] {
        if (!exchange->abandonedFor_) return exchange->Completed(bytes, error);
        if (*exchange->abandonedFor_ == Failure::TimedOut && exchange->addressKept_) exchange->ServiceUnreachable();
        exchange->Fail(*exchange->abandonedFor_);
    });
}

// An operation that succeeded as it was started is completed here, after the move that started it, as
// its completion from the port would have been: each move then runs to its end before the next, and a
// body received in a hundred such pieces nests no deeper than one.
template <class Move>
void ExchangeLoop::Drive(Exchange* exchange, Move move) noexcept {
    try {
        move();
        while (exchange->doneAtOnce_ && !exchange->Answered()) {
            const DWORD bytes = *std::exchange(exchange->doneAtOnce_, std::nullopt);
            exchange->Completed(bytes, 0);
        }
    } catch (...) {
        exchange->doneAtOnce_.reset();
        exchange->Abandon(Failure::NoMemory);
    }
}

// Only here, between events: a move may answer other exchanges than its own (those waiting on the
// same name, when a lookup cannot even start), and its own caller may still hold it.
void ExchangeLoop::FreeAnswered() noexcept {
    while (Exchange* exchange = answered_.PopFront()) delete exchange;
}

void ExchangeLoop::LookUp(std::string_view host) noexcept {
    // When no worker can run the lookup, the name counts as not found, as after a failed lookup, and is
    // tried again once that answer is stale.
    std::unique_ptr<Lookup> lookup(new (std::nothrow) Lookup);
    if (lookup) {
        lookup->port = port_;
        try {
            lookup->host = host;
        } catch (...) {
            lookup.reset();
        }
    }
    if (lookup && !FaultHere(FaultKind::LookupWorker) && StartPinnedWorker(&LookUpOnWorker, lookup.get())) {
        (void)lookup.release();  // the worker's now, then the loop's again through the port
        return;
    }
    AddressWaiters waiting = addresses_.Learn(host, std::nullopt, ::GetTickCount64());
    while (AddressWaiter* waiter = waiting.Pop()) waiter->AddressKnown(std::nullopt);
}

void ExchangeLoop::LookUpOnWorker(void* argument) {
    auto* lookup = static_cast<Lookup*>(argument);
    lookup->address = LookUpIpv4(lookup->host.c_str());
    // Dated when the answer came: a slow lookup must not hand on an answer already stale.
    lookup->at = ::GetTickCount64();
    // Everyone waiting on the name waits until the loop hears of this, so a port whose queue cannot
    // take the packet now is tried again.
    while (!::PostQueuedCompletionStatus(lookup->port, 0, kLookedUp, &lookup->answered.overlapped)) ::Sleep(100);
}

void ExchangeLoop::Looked(Lookup* done) noexcept {
    const std::unique_ptr<Lookup> lookup(done);
    AddressWaiters waiting = addresses_.Learn(lookup->host, lookup->address, lookup->at);
    // Taken off one at a time, so that continuing one may free it.
    while (AddressWaiter* waiter = waiting.Pop()) waiter->AddressKnown(lookup->address);
}

void ExchangeLoop::Errand(ServiceErrand* errand) noexcept {
    AddressCache::Answer answer{AddressCache::Next::Use, std::nullopt};
    try {
        answer = addresses_.Ask(errand->host_, ::GetTickCount64(), *errand);
    } catch (...) {
        // No room for the name's entry: as if it could not be resolved.
    }
    if (answer.next == AddressCache::Next::Use) return errand->AddressKnown(answer.address);
    if (answer.next == AddressCache::Next::Look) LookUp(errand->host_);
}

void DeadlineList::Add(Exchange* exchange) noexcept {
    // The walk keeps the list in order whatever comes; with one length of limit it never steps.
    Exchange* before = exchanges.Last();
    while (before != nullptr && before->deadline_ > exchange->deadline_) before = decltype(exchanges)::Earlier(*before);
    exchanges.InsertAfter(before, *exchange);
    exchange->limit_ = this;
}

void DeadlineList::Remove(Exchange* exchange) noexcept {
    exchanges.Remove(*exchange);
    exchange->limit_ = nullptr;
}

void ExchangeLoop::Limit(Exchange* exchange, DWORD ms) noexcept {
    if (exchange->limit_ != nullptr) Unlink(exchange);
    const std::uint64_t now = ::GetTickCount64();
    exchange->activeSince_ = now;
    exchange->deadline_ = now + ms;
    DeadlineList* list = &deadlines_[std::size(deadlines_) - 1];
    for (DeadlineList& candidate : deadlines_) {
        if (candidate.ms == 0) candidate.ms = ms;
        if (candidate.ms == ms) {
            list = &candidate;
            break;
        }
    }
    list->Add(exchange);
}

void ExchangeLoop::Unlink(Exchange* exchange) noexcept { exchange->limit_->Remove(exchange); }

void ExchangeLoop::LimitWhole(Exchange* exchange) noexcept {
    if (exchange->wholeLimited_) UnlinkWhole(exchange);
    Exchange* before = wholeLimits_.Last();
    while (before != nullptr && before->endBy_ > exchange->endBy_) before = decltype(wholeLimits_)::Earlier(*before);
    wholeLimits_.InsertAfter(before, *exchange);
    exchange->wholeLimited_ = true;
}

void ExchangeLoop::UnlinkWhole(Exchange* exchange) noexcept {
    wholeLimits_.Remove(*exchange);
    exchange->wholeLimited_ = false;
}

bool ExchangeLoop::EndStalled(std::size_t shortfall, const BudgetShare* asking) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    const std::uint64_t now = ::GetTickCount64();
    const auto stalled = [&](const Exchange& exchange) {
        return exchange.pending_ && !exchange.abandonedFor_ && now - exchange.activeSince_ >= kStalledMs;
    };
    // The room kept for the next long answer first, as it waits for nobody; then earliest deadline
    // first, which is the longest waiting under one length of limit. Nothing is ended unless all of
    // them together make the room.
    const auto visit = [&](auto&& take) {
        std::size_t found = keptRoom_ ? keptRoom_.Charge().Held() : 0;
        for (DeadlineList& list : deadlines_) {
            for (Exchange* exchange = list.exchanges.First(); exchange != nullptr && found < shortfall;
                 exchange = decltype(list.exchanges)::Later(*exchange)) {
                if (!stalled(*exchange)) continue;
                const std::size_t held = exchange->HeldBudget(asking);
                if (held == 0) continue;
                found += held;
                take(*exchange);
            }
        }
        return found;
    };
    if (shortfall == 0) return true;
    if (visit([](Exchange&) {}) < shortfall) return false;
    keptRoom_ = AnswerRoom();
    (void)visit([](Exchange& exchange) {
        exchange.GiveBudgetBack();
        // Pending, so it only closes its socket: it stays in its list until its operation returns.
        exchange.Abandon(Failure::OverBudget);
    });
    return true;
}

DWORD ExchangeLoop::UntilNextDeadline() const noexcept {
    const std::uint64_t now = ::GetTickCount64();
    std::uint64_t wait = INFINITE;
    const auto until = [&](std::uint64_t due) {
        wait = std::min<std::uint64_t>(wait, due <= now ? 0 : std::min<std::uint64_t>(due - now, INFINITE - 1));
    };
    for (const DeadlineList& list : deadlines_) {
        if (!list.exchanges.Empty()) until(list.exchanges.First()->deadline_);
    }
    if (!wholeLimits_.Empty()) until(wholeLimits_.First()->endBy_);
    if (keptRoom_) until(keptUntil_);
    return static_cast<DWORD>(wait);
}

void ExchangeLoop::ExpireDue() noexcept {
    const std::uint64_t now = ::GetTickCount64();
    if (keptRoom_ && keptUntil_ <= now) keptRoom_ = AnswerRoom();
    for (DeadlineList& list : deadlines_) {
        while (!list.exchanges.Empty() && list.exchanges.First()->deadline_ <= now) {
            Exchange* exchange = list.exchanges.First();
            Unlink(exchange);
            Drive(exchange, [&] { exchange->Abandon(Failure::TimedOut); });
        }
    }
    while (!wholeLimits_.Empty() && wholeLimits_.First()->endBy_ <= now) {
        Exchange* exchange = wholeLimits_.First();
        UnlinkWhole(exchange);
        Drive(exchange, [&] { exchange->Abandon(Failure::TimedOut); });
    }
}

// ---- an exchange -----------------------------------------------------------------------------------

UniqueSocket Exchange::OverlappedSocket(int type, std::uint32_t& socketError) noexcept {
    UniqueSocket socket;
    if (FaultHere(FaultKind::Socket)) {
        ::WSASetLastError(WSAENOBUFS);
    } else {
        socket.reset(::WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED));
    }
    if (socket && !ExchangeLoop::Shared().Associate(socket.get())) socket.reset();
    if (!socket) socketError = static_cast<std::uint32_t>(::WSAGetLastError());
    return socket;
}

void Exchange::ReachService(const char* host, std::uint16_t port) {
    ORVANE_LOOP_THREAD_ONLY();
    serviceHost_ = host;
    servicePort_ = port;
    ExchangeLoop& loop = ExchangeLoop::Shared();
    const AddressCache::Answer known = loop.addresses_.Ask(host, ::GetTickCount64(), *this);
    if (known.next == AddressCache::Next::Use) {
        serviceAddress_ = known.address;
        addressKept_ = true;
        return AddressReady(ToSocketAddress(known.address, port));
    }
    if (known.next == AddressCache::Next::Look) loop.LookUp(host);
}

void Exchange::AddressKnown(LookedUp address) noexcept {
    serviceAddress_ = address;
    addressReady_ = true;
    ExchangeLoop::Shared().addressed_[static_cast<std::size_t>(lane_)].PushBack(*this);
}

void Exchange::ServiceUnreachable() noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (serviceHost_ != nullptr && serviceAddress_)
        ExchangeLoop::Shared().addresses_.Doubt(serviceHost_, *serviceAddress_);
}

void Exchange::Abandon(Failure cause) noexcept {
    if (!request_) return;
    if (pending_) {
        if (abandonedFor_) return;  // ended once already, for that cause
        abandonedFor_ = cause;
        socket_.reset();
        return;
    }
    (void)AddressCache::Leave(*this);
    if (std::exchange(addressReady_, false))
        ExchangeLoop::Shared().addressed_[static_cast<std::size_t>(lane_)].Remove(*this);
    Fail(cause);
}

OVERLAPPED* Exchange::StartOperation() noexcept {
    operation_.overlapped = OVERLAPPED{};
    pending_ = true;
    return &operation_.overlapped;
}

void Exchange::CompleteAtOnceWhereSucceeded() noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (!skipsPort_ && socket_) skipsPort_ = ExchangeLoop::Shared().SkipPortOnSuccess(socket_.get());
}

bool Exchange::Issued(int result) noexcept {
    if (result == 0) {
        // Done already, with the count of bytes the system leaves in the OVERLAPPED of an operation
        // that succeeded; without the port's packet, the loop completes it.
        if (skipsPort_) {
            pending_ = false;
            doneAtOnce_ = static_cast<DWORD>(operation_.overlapped.InternalHigh);
        }
        return true;
    }
    // A datagram too long for the buffer fails the call at once and still queues its completion (the
    // platform counts it a warning, not an error), so it is under way like a pending one.
    const int error = ::WSAGetLastError();
    if (error == WSA_IO_PENDING || error == WSAEMSGSIZE) return true;
    pending_ = false;
    return false;
}

void Exchange::LimitTo(DWORD ms) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    ExchangeLoop::Shared().Limit(this, ms);
}

void Exchange::EndWithin(std::uint64_t ms) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    endBy_ = ::GetTickCount64() + ms;
    ExchangeLoop::Shared().LimitWhole(this);
}

void Exchange::Finish(std::string answer, BudgetShare charge) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (!request_) return;
    request_->Answer(std::move(answer), std::move(charge));
    HandOn();
}

void Exchange::Finish(AnswerRoom answer, BudgetShare charge) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (!request_) return;
    request_->Answer(std::move(answer), std::move(charge));
    HandOn();
}

void Exchange::Fail(Failure cause, std::uint32_t code) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (!request_) return;
    request_->Fail(cause, code);
    HandOn();
}

void Exchange::HandOn() noexcept {
    ExchangeLoop& loop = ExchangeLoop::Shared();
    if (limit_ != nullptr) loop.Unlink(this);
    if (wholeLimited_) loop.UnlinkWhole(this);
    ReleaseBuffers();
    Deliver(std::move(request_));
    // No operation is pending here, so the socket only has to go: its closing, a call to the system
    // that may take tens of microseconds, no longer holds back the answer's way to its callback.
    socket_.reset();
    loop.answered_.PushBack(*this);
}

// ---- starting ----------------------------------------------------------------------------------------

void LaunchExchange(std::unique_ptr<Request> request, std::unique_ptr<Exchange> exchange,
                    ExchangePoster post) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (!request) return;
    if (!exchange) return RefuseRequest(std::move(request), Failure::NoMemory);
    exchange->request_ = std::move(request);
    if (post != nullptr ? post(exchange) : ExchangeLoop::Shared().Post(exchange)) return;
    RefuseRequest(std::move(exchange->request_), Failure::LoopUnavailable);
}

}  // namespace orvane
