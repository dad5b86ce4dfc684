#include "net/exchange.hpp"

#include <memory>
#include <string>
#include <utility>

#include "bridge/deliveries.hpp"
#include "bridge/request_start.hpp"
#include "common/fault_points.hpp"
#include "common/thread_checks.hpp"
#include "net/exchange_loop.hpp"
#include "net/sockets.hpp"

namespace orvane {

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
    ExchangeLoop::Shared().deadlines_.Limit(stepLimit_, ::GetTickCount64(), ms);
}

void Exchange::EndWithin(std::uint64_t ms) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    ExchangeLoop::Shared().deadlines_.LimitAt(wholeLimit_, ::GetTickCount64() + ms);
}

void Exchange::Finish(std::string answer, BudgetShare share) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (!request_) return;
    request_->Answer(std::move(answer), std::move(share));
    HandOn();
}

void Exchange::Finish(AnswerBuffer answer, BudgetShare share) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (!request_) return;
    request_->Answer(std::move(answer), std::move(share));
    HandOn();
}

void Exchange::Fail(Failure cause, std::uint32_t code) noexcept {
    ORVANE_LOOP_THREAD_ONLY();
    if (!request_) return;
    request_->Fail(cause, code);
    HandOn();
}

void Exchange::OperationEnded(DWORD bytes, DWORD error) {
    pending_ = false;
    if (!abandonedFor_) return Completed(bytes, error);
    // A service silent for a step's whole time at an address kept from before may have moved, so its
    // name is looked up again soon; not one just looked up, which a slow lookup left less of its time.
    if (*abandonedFor_ == Failure::TimedOut && addressKept_) ServiceUnreachable();
    Fail(*abandonedFor_);
}

void Exchange::HandOn() noexcept {
    ExchangeLoop& loop = ExchangeLoop::Shared();
    DeadlineLists::Clear(stepLimit_);
    DeadlineLists::Clear(wholeLimit_);
    ReleaseBuffers();
    Deliver(std::move(request_));
    // No operation is pending here, so the socket only has to go: its closing, a call to the system
    // that may take tens of microseconds, no longer holds back the answer's way to its callback.
    socket_.reset();
    loop.handedOn_.PushBack(*this);
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
