// The UDP tips service: a tips id is asked for on the exchange loop; a shown tip is reported from the
// script thread, which waits for nothing.
#include <winsock2.h>

#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/fault_points.hpp"
#include "common/win_handles.hpp"
#include "net/exchange_loop.hpp"
#include "net/services.hpp"
#include "net/sockets.hpp"
#include "net/wire.hpp"

namespace orvane {
namespace {

constexpr char kTipsHost[] = ORVANE_TIPS_HOST;
constexpr DWORD kReplyWaitMs = 10000;

std::atomic<bool> g_datagramNetworkStarted{false};

bool EnsureDatagramNetworkStarted() { return StartWindowsSocketsOnce(g_datagramNetworkStarted); }

// One datagram, whose length the callers have bounded.
int SendTo(SOCKET socket, const std::string& datagram, const sockaddr_in& to) noexcept {
    if (FaultHere(FaultKind::Send)) return SOCKET_ERROR;
    return ::sendto(socket, datagram.data(), static_cast<int>(datagram.size()), 0,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// One datagram out, the first datagram back, whoever sent it, within ten seconds of the request.
class TipsExchange final : public Exchange {
public:
    TipsExchange(const std::string& pid, const std::string& cid)
        : Exchange(Lane::Tips), request_(wire::TipsRequestDatagram(pid, cid)) {}

    void Begin() override {
        (void)EnsureDatagramNetworkStarted();
        // The ten seconds count from here: a name lookup that hangs takes from them, never adds to them.
        LimitTo(kReplyWaitMs);
        ReachService(kTipsHost, wire::kTipsPort);
    }

    void AddressReady(std::optional<sockaddr_in> to) override {
        // A host that cannot be resolved leaves no socket, and the receive fails at once.
        if (!to) return Fail(Failure::LookupFailed);
        if (request_.size() > INT_MAX) return Fail(Failure::SendFailed);
        std::uint32_t error = 0;
        socket_ = OverlappedSocket(SOCK_DGRAM, error);
        if (!socket_) return Fail(Failure::SocketFailed, error);
        // A failed send is not the end: the receive below then times out or fails, and that is the answer.
        (void)SendTo(socket_.get(), request_, *to);
        request_ = std::string();
        WSABUF buffer{static_cast<ULONG>(sizeof reply_), reply_};
        DWORD flags = 0;
        fromLength_ = sizeof from_;
        OVERLAPPED* operation = StartOperation();
        const int received = FaultHere(FaultKind::Receive)
                                 ? (::WSASetLastError(WSAENOBUFS), SOCKET_ERROR)
                                 : ::WSARecvFrom(socket_.get(), &buffer, 1, nullptr, &flags,
                                                 reinterpret_cast<sockaddr*>(&from_), &fromLength_, operation, nullptr);
        if (!Issued(received)) {
            const auto failed = static_cast<std::uint32_t>(::WSAGetLastError());
            if (NoServiceThere(failed)) ServiceUnreachable();
            return Fail(Failure::ReceiveFailed, failed);
        }
    }

    // A datagram longer than the buffer is an error of the platform's, and so the empty text; so is
    // the receive that the time limit cut off (the loop answers that one).
    void Completed(DWORD bytes, DWORD error) override {
        if (error == ERROR_MORE_DATA || error == WSAEMSGSIZE) return Fail(Failure::ReplyTooLong);
        if (error != 0) {
            if (NoServiceThere(error)) ServiceUnreachable();
            return Fail(Failure::ReceiveFailed, error);
        }
        if (bytes == 0) return Fail(Failure::EmptyReply);
        Finish(std::string(reply_, bytes));
    }

private:
    // Nothing listens at the address, as the system was told: the service may have moved. A receive
    // that fails at once says so in Winsock's words, one that completes later in the system's; Windows
    // says the port is unreachable, a system under Wine may say the connection was refused.
    static bool NoServiceThere(std::uint32_t error) noexcept {
        return error == WSAECONNRESET || error == ERROR_PORT_UNREACHABLE || error == WSAECONNREFUSED ||
               error == ERROR_CONNECTION_REFUSED;
    }

    std::string request_;
    char reply_[wire::kTipsReplyCapacity] = {};
    sockaddr_in from_{};
    INT fromLength_ = 0;
};

// A report sent as one datagram from a socket of its own, with no reply awaited; true when it went out
// whole.
bool SendReport(const std::string& report, const std::optional<sockaddr_in>& to) noexcept {
    if (!to || report.size() > INT_MAX) return false;
    UniqueSocket socket(FaultHere(FaultKind::Socket) ? INVALID_SOCKET : ::socket(AF_INET, SOCK_DGRAM, 0));
    if (!socket) return false;
    return SendTo(socket.get(), report, *to) == static_cast<int>(report.size());
}

// A report has no answer to carry back, so beyond these, waiting in the loop for their address or their
// turn, one is dropped, as the network may drop any datagram: a lookup that hangs holds about a MiB.
constexpr int kMaxReportsWaiting = 1024;
std::atomic<int> g_reportsWaiting{0};

// A report on its way: the loop sends it once the address is known, at once when it is fresh.
class WaitingReport final : public ServiceTask {
public:
    explicit WaitingReport(std::string report) noexcept : ServiceTask(kTipsHost), report_(std::move(report)) {
        ++g_reportsWaiting;
    }
    ~WaitingReport() override { --g_reportsWaiting; }
    WaitingReport(const WaitingReport&) = delete;
    WaitingReport& operator=(const WaitingReport&) = delete;

    void AddressKnown(LookedUp address) noexcept override {
        (void)SendReport(report_, ToSocketAddress(address, wire::kTipsPort));
        delete this;
    }

private:
    std::string report_;
};

}  // namespace

long WaitingReports() noexcept { return g_reportsWaiting.load(); }

void AskTipsId(const std::string& pid, const std::string& cid, CallbackRef callback) noexcept {
    StartExchange<TipsExchange>("GetTipsId", std::move(callback), pid, cid);
}

bool ReportTipShown(std::string_view tipid, std::string_view pid, std::string_view cid, std::string_view sign) {
    std::optional<std::string> report = wire::TipShownReportDatagram(tipid, pid, cid, sign);
    if (!report) return false;
    (void)EnsureDatagramNetworkStarted();
    // Sent from the loop thread, so the script thread never waits for the resolver, nor makes a socket.
    if (g_reportsWaiting.load() >= kMaxReportsWaiting) return false;
    std::unique_ptr<ServiceTask> waiting(new (std::nothrow) WaitingReport(std::move(*report)));
    return waiting && ExchangeLoop::Shared().Post(waiting);
}

}  // namespace orvane
