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

// A kept buffer on its way back to the loop.
struct ExchangeLoop::ReturnedBuffer {
    OverlappedRecord<ReturnedBuffer> posted{this};
    AnswerBuffer buffer;
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
        const SmallLock::Hold guard(intakeLock_);
        intake.PushBack(*exchange);
        wake = !std::exchange(wakePosted_, true);
    }
    if (!wake || ::PostQueuedCompletionStatus(port_, 0, kWake, &wake_.overlapped)) {
        (void)exchange.release();  // the loop's from here on
        return true;
    }
    // The loop looks at the intake after every turn, so it may have begun the exchange already; if
    // not, it is refused, and the next post tries to wake the loop again.
    const SmallLock::Hold guard(intakeLock_);
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
        const SmallLock::Hold guard(intakeLock_);
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

bool ExchangeLoop::Post(std::unique_ptr<ServiceTask>& task) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (!Start() || !::PostQueuedCompletionStatus(port_, 0, kTask, &task->posted_.overlapped)) return false;
    (void)task.release();  // the loop's from here on
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

AnswerBuffer ExchangeLoop::TakeKeptBuffer(std::size_t atLeast) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    // A short answer's fresh buffer costs no page faults to speak of, and the kept buffer would carry
    // its megabytes, and its share of the budget, to the script thread.
    if (!keptBuffer_ || keptBuffer_.Capacity() < atLeast || atLeast < ReceiveChunks::kSize) return {};
    keptBuffer_.Clear();
    return std::move(keptBuffer_);
}

void ExchangeLoop::KeepBuffer(AnswerBuffer&& buffer) noexcept {
    // Without a record for it, or a port to take it, the buffer is only freed.
    HANDLE port = Shared().port_;
    if (port == nullptr) return;
    std::unique_ptr<ReturnedBuffer> returned(new (std::nothrow) ReturnedBuffer);
    if (!returned) return;
    returned->buffer = std::move(buffer);
    if (::PostQueuedCompletionStatus(port, 0, kReturnedBuffer, &returned->posted.overlapped)) (void)returned.release();
}

void ExchangeLoop::Returned(ReturnedBuffer* returned) noexcept {
    const std::unique_ptr<ReturnedBuffer> record(returned);
    // The larger of two is kept, since it serves more answers; the other goes now, and keeps nothing
    // longer.
    if (keptBuffer_ && record->buffer.Capacity() < keptBuffer_.Capacity()) return;
    keptBuffer_ = std::move(record->buffer);
    keptUntil_ = ::GetTickCount64() + kBufferKeptMs;
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
        FreeHandedOn();
    }
}

void ExchangeLoop::Dispatch(ULONG_PTR key, OVERLAPPED* overlapped, DWORD bytes, DWORD error) noexcept {
    switch (key) {
        case kWake: return;  // the turn after these events begins what waits
        case kLookedUp: return Looked(OverlappedRecord<Lookup>::OwnerOf(overlapped));
        case kTask: return RunTask(OverlappedRecord<ServiceTask>::OwnerOf(overlapped));
        case kReturnedBuffer: return Returned(OverlappedRecord<ReturnedBuffer>::OwnerOf(overlapped));
        default: break;
    }
    Exchange* exchange = OverlappedRecord<Exchange>::OwnerOf(overlapped);
    Drive(exchange, [&] { exchange->OperationEnded(bytes, error); });
}

// An operation that succeeded as it was started is completed here, after the move that started it, as
// its completion from the port would have been: each move then runs to its end before the next, and a
// body received in a hundred such pieces nests no deeper than one.
template <class Move>
void ExchangeLoop::Drive(Exchange* exchange, Move move) noexcept {
    try {
        move();
        while (exchange->doneAtOnce_ && !exchange->HandedOn()) {
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
void ExchangeLoop::FreeHandedOn() noexcept {
    while (Exchange* exchange = handedOn_.PopFront()) delete exchange;
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

void ExchangeLoop::RunTask(ServiceTask* task) noexcept {
    AddressCache::Answer answer{AddressCache::Next::Use, std::nullopt};
    try {
        answer = addresses_.Ask(task->host_, ::GetTickCount64(), *task);
    } catch (...) {
        // No room for the name's entry: as if it could not be resolved.
    }
    if (answer.next == AddressCache::Next::Use) return task->AddressKnown(answer.address);
    if (answer.next == AddressCache::Next::Look) LookUp(task->host_);
}

bool ExchangeLoop::EndStalled(std::size_t shortfall, const BudgetShare* asking) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    const std::uint64_t now = ::GetTickCount64();
    // The buffer kept for the next long answer first, as it waits for nobody; then the exchanges that
    // moved longest ago. Nothing is ended unless all of them together cover the shortfall.
    if (shortfall == 0) return true;
    const std::size_t kept = keptBuffer_ ? keptBuffer_.Share().Held() : 0;
    const auto held = [&](const Deadline& limit) -> std::size_t {
        auto* exchange = static_cast<Exchange*>(limit.owner);
        const bool stalled = exchange->pending_ && !exchange->abandonedFor_ && now - limit.since >= kStalledMs;
        return stalled ? exchange->HeldBudget(asking) : 0;
    };
    const bool covered = deadlines_.EndOldestCovering(shortfall, kept, held, [](const Deadline& limit) {
        auto* exchange = static_cast<Exchange*>(limit.owner);
        exchange->GiveBudgetBack();
        // Pending, so it only closes its socket; its operation returns through the port.
        exchange->Abandon(Failure::OverBudget);
    });
    if (covered) keptBuffer_ = AnswerBuffer();
    return covered;
}

DWORD ExchangeLoop::UntilNextDeadline() const noexcept {
    const std::uint64_t now = ::GetTickCount64();
    std::uint64_t due = deadlines_.Earliest();
    if (keptBuffer_) due = std::min(due, keptUntil_);
    return static_cast<DWORD>(due <= now ? 0 : std::min<std::uint64_t>(due - now, INFINITE - 1));
}

void ExchangeLoop::ExpireDue() noexcept {
    const std::uint64_t now = ::GetTickCount64();
    if (keptBuffer_ && keptUntil_ <= now) keptBuffer_ = AnswerBuffer();
    while (Deadline* due = deadlines_.TakeDue(now)) {
        auto* exchange = static_cast<Exchange*>(due->owner);
        Drive(exchange, [&] { exchange->Abandon(Failure::TimedOut); });
    }
}

}  // namespace orvane
