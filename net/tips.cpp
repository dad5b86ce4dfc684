// The UDP tips service: GetTipsId asks it for a tips id from a worker thread, RecordTipsShow reports a
// shown tip from the script thread and waits for nothing.
#include <winsock2.h>

#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <string_view>

#include "common/text.hpp"
#include "common/win_handles.hpp"
#include "net/async_request.hpp"
#include "net/sockets.hpp"
#include "net/wire.hpp"
#include "script/script_object.hpp"

namespace orvane {
namespace {

constexpr char kTipsHost[] = ORVANE_TIPS_HOST;
constexpr DWORD kReplyWaitMs = 10000;

std::atomic<bool> g_datagramNetworkStarted{false};

bool EnsureDatagramNetworkStarted() { return StartWindowsSocketsOnce(g_datagramNetworkStarted); }

// One exchange with the tips server. The socket is made by the send, so a host that cannot be
// resolved leaves no socket and the receive fails at once instead of waiting for nothing.
class DatagramClient {
public:
    DatagramClient() { (void)EnsureDatagramNetworkStarted(); }

    bool SendTo(std::string_view data, const char* host, std::uint16_t port) {
        const std::optional<sockaddr_in> to = ResolveHost(host, port);
        if (!to || data.size() > INT_MAX) return false;
        socket_.reset(::socket(AF_INET, SOCK_DGRAM, 0));
        if (!socket_) return false;
        const int sent = ::sendto(socket_.get(), data.data(), static_cast<int>(data.size()), 0,
                                  reinterpret_cast<const sockaddr*>(&*to), sizeof *to);
        return sent == static_cast<int>(data.size());
    }

    void SetReceiveTimeout(DWORD ms) {
        if (!socket_) return;
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    }

    // The first datagram to arrive is the reply, whoever sent it. A datagram longer than the
    // capacity is an error of the platform's, and so a failure here.
    int ReceiveFrom(char* buffer, int capacity) {
        if (!socket_) return -1;
        sockaddr_in from{};
        int fromLength = sizeof from;
        const int received =
            ::recvfrom(socket_.get(), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        return received == SOCKET_ERROR ? -1 : received;
    }

    void Close() { socket_.reset(); }

private:
    unique_socket socket_;
};

std::string QueryTipsId(const std::string& pid, const std::string& cid) {
    DatagramClient client;
    // A failed send is not the end: the receive below then times out or fails, and that is the answer.
    (void)client.SendTo(wire::TipsRequestDatagram(pid, cid), kTipsHost, wire::kTipsPort);
    client.SetReceiveTimeout(kReplyWaitMs);
    constexpr int kCapacity = static_cast<int>(wire::kTipsReplyCapacity);
    const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCapacity]);
    if (!buffer) return {};
    const int received = client.ReceiveFrom(buffer.get(), kCapacity);
    client.Close();
    // The reply goes on as it came; the delivery hands the script what precedes its first zero byte.
    return received > 0 ? std::string(buffer.get(), static_cast<std::size_t>(received)) : std::string();
}

void TipsWorker(void* request) { CompleteRequest(request, &QueryTipsId); }

}  // namespace

void ScriptObject::GetTipsId(const std::string& pid, const std::string& cid, CallbackRef callback) {
    StartRequestWorker(pid, cid, callback, &TipsWorker);
}

bool ScriptObject::RecordTipsShow(const std::wstring& tipid, const std::wstring& pid, const std::wstring& cid,
                                  const std::wstring& sign) {
    const std::optional<std::string> report =
        wire::TipShownReportDatagram(Utf16ToAnsi(tipid), Utf16ToAnsi(pid), Utf16ToAnsi(cid), Utf16ToAnsi(sign));
    if (!report) return false;
    DatagramClient client;
    return client.SendTo(*report, kTipsHost, wire::kTipsPort);
}

}  // namespace orvane
