// The GET behind SyncHttpRequest, in-process: the URL it hands to the platform and the body it reads.
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "common/win_handles.hpp"
#include "script/http_get.hpp"

namespace orvane {
namespace {

TEST(CanonicalUrl, BlanksEscapedBeforeTheQueryAndLeftAloneFromIt) {
    struct Case {
        const wchar_t* url;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"http://127.0.0.1:8/a b?c d", L"http://127.0.0.1:8/a%20b?c d"},
        {L"http://127.0.0.1:8/dir name/file", L"http://127.0.0.1:8/dir%20name/file"},
        {L"http://127.0.0.1:8/p?q=a b&r=%20x  ", L"http://127.0.0.1:8/p?q=a b&r=%20x  "},
        {L"http://127.0.0.1:8/p?x=<y>", L"http://127.0.0.1:8/p?x=<y>"},
        {L"http://127.0.0.1:8/plain?k=v", L"http://127.0.0.1:8/plain?k=v"},
        {L"http://127.0.0.1:8/a b#frag x ", L"http://127.0.0.1:8/a%20b#frag x "},
    };
    for (const Case& c : cases) {
        const std::optional<std::wstring> canonical = CanonicalUrl(c.url);
        ASSERT_TRUE(canonical.has_value()) << testing::PrintToString(std::wstring(c.url));
        EXPECT_EQ(*canonical, c.expected);
    }
}

// A one-shot loopback server: answers the first connection with `response`, sent in small pieces so
// the client sees the body arrive over several reads; with `reset`, it then resets the connection
// (once the client has had time to read what was sent) instead of closing it.
class OneShotServer {
public:
    explicit OneShotServer(std::string response, bool reset = false) : response_(std::move(response)), reset_(reset) {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
        listener_.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_.get(), 1);
        int length = sizeof address;
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ::ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~OneShotServer() {
        listener_.reset();
        thread_.join();
        ::WSACleanup();
    }
    unsigned short port() const { return port_; }
    const std::string& request() const { return request_; }

private:
    void Serve() {
        UniqueSocket peer(::accept(listener_.get(), nullptr, nullptr));
        if (!peer) return;
        char buffer[4096];
        while (request_.find("\r\n\r\n") == std::string::npos) {
            const int got = ::recv(peer.get(), buffer, sizeof buffer, 0);
            if (got <= 0) return;
            request_.append(buffer, static_cast<std::size_t>(got));
        }
        for (std::size_t at = 0; at < response_.size(); at += 1000) {
            const std::string piece = response_.substr(at, 1000);
            ::send(peer.get(), piece.data(), static_cast<int>(piece.size()), 0);
            ::Sleep(1);
        }
        if (reset_) {
            ::Sleep(200);
            const linger abort{1, 0};
            ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
            return;
        }
        ::shutdown(peer.get(), SD_SEND);
        while (::recv(peer.get(), buffer, sizeof buffer, 0) > 0) {}
    }

    std::string response_;
    bool reset_;
    UniqueSocket listener_;
    unsigned short port_ = 0;
    std::string request_;
    std::thread thread_;
};

std::wstring LocalUrl(unsigned short port, const wchar_t* path) {
    return L"http://127.0.0.1:" + std::to_wstring(port) + path;
}

// Appends every chunk to the string and notes the largest.
struct Collector {
    std::string body;
    std::size_t largestChunk = 0;
    BodySink sink() {
        return {[](void* context, std::string_view chunk) {
                    auto* self = static_cast<Collector*>(context);
                    self->body.append(chunk);
                    self->largestChunk = std::max(self->largestChunk, chunk.size());
                },
                this};
    }
};

TEST(HttpGet, WholeBodyReadInOrderThroughOneBoundedBufferWithoutCacheAndWithPragma) {
    std::string body(200000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    body[10] = '\0';  // a body is bytes, not text
    OneShotServer server("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body);
    Collector received;
    EXPECT_TRUE(HttpGet(LocalUrl(server.port(), L"/page"), received.sink()));
    EXPECT_EQ(received.body, body);
    EXPECT_LE(received.largestChunk, kHttpReadChunk);
    EXPECT_EQ(server.request().rfind("GET /page HTTP/1.1\r\n", 0), 0u) << server.request();
    EXPECT_NE(server.request().find("Pragma: no-cache"), std::string::npos) << server.request();
}

TEST(HttpGet, ErrorPageIsReadLikeAnyBodyAndEmptyBodyStillCounts) {
    {
        OneShotServer server("HTTP/1.0 404 Not Found\r\nContent-Length: 7\r\nConnection: close\r\n\r\nmissing");
        Collector received;
        EXPECT_TRUE(HttpGet(LocalUrl(server.port(), L"/gone"), received.sink()));
        EXPECT_EQ(received.body, "missing");
    }
    {
        OneShotServer server("HTTP/1.0 204 No Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        Collector received;
        EXPECT_TRUE(HttpGet(LocalUrl(server.port(), L"/empty"), received.sink()));
        EXPECT_EQ(received.body, "");
    }
}

TEST(HttpGet, UrlThatCannotBeOpenedReadsNothing) {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    // A loopback port that was free a moment ago and has no listener now.
    unsigned short closedPort = 0;
    {
        UniqueSocket probe(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
        closedPort = ::ntohs(address.sin_port);
    }
    ::WSACleanup();
    Collector received;
    const GetOutcome outcome = HttpGet(LocalUrl(closedPort, L"/"), received.sink());
    EXPECT_FALSE(outcome);
    EXPECT_EQ(outcome.cause, Failure::OpenUrlFailed);
    EXPECT_EQ(outcome.code, static_cast<std::uint32_t>(ERROR_INTERNET_CANNOT_CONNECT));
    EXPECT_EQ(received.body, "");
}

TEST(HttpGet, ConnectionResetBeforeTheBodyReadsNothingAndSaysWhy) {
    OneShotServer server("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n", true);
    Collector received;
    const GetOutcome outcome = HttpGet(LocalUrl(server.port(), L"/reset"), received.sink());
    EXPECT_FALSE(outcome);
    EXPECT_EQ(outcome.cause, Failure::NothingRead);
    EXPECT_NE(outcome.code, 0u) << "the error of the failed read";
    EXPECT_EQ(received.body, "");
}

}  // namespace
}  // namespace orvane
