// The life of a request: started on the script thread, run on the exchange loop, answered through the
// message window; and answered all the same, later, when the loop cannot take it.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "bridge/deliveries.hpp"
#include "bridge/message_table.hpp"
#include "bridge/message_window.hpp"
#include "bridge/window_messages.hpp"
#include "common/win_handles.hpp"
#include "failure_lines.hpp"
#include "lua_fixture.hpp"
#include "net/exchange_loop.hpp"

namespace orvane {
namespace {

using testing::FailureLines;
using testing::LuaFixture;
using testing::PumpUntil;

// Answers with its two texts joined, or by throwing, without touching the network.
class FakeExchange final : public Exchange {
public:
    FakeExchange(std::string text, bool throws) : text_(std::move(text)), throws_(throws) {}
    void Begin() override {
        if (throws_) throw std::bad_alloc();
        Finish(text_);
    }
    void Completed(DWORD, DWORD) override {}
    void AddressReady(std::optional<sockaddr_in>) override {}

private:
    std::string text_;
    bool throws_;
};

bool LoopRefuses(std::unique_ptr<Exchange>&) noexcept { return false; }

class ExchangeLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (AddinWindow().Handle() == nullptr || !::IsWindow(AddinWindow().Handle())) CreateMessageWindow();
        ASSERT_EQ(lua.Run("calls = {} function record(...) calls[#calls + 1] = { n = select('#', ...), ... } end"), "");
    }
    LuaFixture lua;
    FailureLines failures;
};

TEST_F(ExchangeLoopTest, RequestThatCannotStartIsAnsweredLaterWithTheEmptyText) {
    // The loop cannot take the exchange, or there is no memory to make one.
    const struct {
        bool made;
        const char* line;
    } ways[] = {{true, "Test: loop_unavailable"}, {false, "Test: no_memory"}};
    int expectedCalls = 0;
    for (const auto& way : ways) {
        SCOPED_TRACE(way.line);
        const TakenCallback callback{lua.state(), lua.RefGlobal("record")};
        std::unique_ptr<Exchange> exchange;
        if (way.made) exchange = std::make_unique<FakeExchange>("never asked", false);
        LaunchExchange(StartRequest("Test", CallbackRef(callback)), std::move(exchange), &LoopRefuses);
        EXPECT_EQ(lua.Eval("#calls"), std::to_string(expectedCalls)) << "never inside the call that started it";
        ++expectedCalls;
        ASSERT_TRUE(PumpUntil([&] { return lua.Eval("#calls") == std::to_string(expectedCalls); }));
        EXPECT_EQ(lua.Eval("calls[#calls][1]"), "");
        EXPECT_EQ(failures.Take(), std::vector<std::string>{way.line});
        EXPECT_FALSE(lua.RefIsFunction(callback.ref));
        PumpUntil([] { return false; }, 200);
        EXPECT_EQ(lua.Eval("#calls"), std::to_string(expectedCalls)) << "no second call";
        EXPECT_EQ(LiveRequests(), 0);
    }

    // Its delivery message may never be handled (a full queue refuses it; a host loop may drop it),
    // and no loop may exist to post its wake-up again, or the loop waits a second and more before it
    // does.
    const TakenCallback lost{lua.state(), lua.RefGlobal("record")};
    LaunchExchange(StartRequest("Test", CallbackRef(lost)), std::make_unique<FakeExchange>("never asked", false),
                   &LoopRefuses);
    MSG message{};
    ASSERT_TRUE(::PeekMessageW(&message, AddinWindow().Handle(), WM_DELIVER_RESULT, WM_DELIVER_RESULT, PM_REMOVE));
    EXPECT_TRUE(PumpUntil([&] { return lua.Eval("#calls") == "3"; }, 900)) << "answered all the same";
    EXPECT_EQ(LiveRequests(), 0);
}

TEST_F(ExchangeLoopTest, StartedRequestCallsBackOnceWithItsAnswerOrTheEmptyText) {
    struct Case {
        bool throws;
        const char* expected;
        std::vector<std::string> causes;
    } cases[] = {
        {false, "pid|cid", {}}, {true, "", {"Test: no_memory"}},  // an exchange that fails by exception still answers
    };
    int expectedCalls = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const TakenCallback callback{lua.state(), lua.RefGlobal("record")};
        LaunchExchange(StartRequest("Test", CallbackRef(callback)),
                       std::make_unique<FakeExchange>("pid|cid", c.throws));
        ++expectedCalls;
        ASSERT_TRUE(PumpUntil([&] { return lua.Eval("#calls") == std::to_string(expectedCalls); }));
        EXPECT_EQ(lua.Eval("calls[#calls].n"), "1");
        EXPECT_EQ(lua.Eval("calls[#calls][1]"), c.expected);
        EXPECT_EQ(failures.Take(), c.causes);
        EXPECT_FALSE(lua.RefIsFunction(callback.ref));
        EXPECT_TRUE(PumpUntil([] { return LiveRequests() == 0; })) << "the request is freed once answered";
    }
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(lua.Eval("#calls"), std::to_string(expectedCalls)) << "no second call";
}

TEST_F(ExchangeLoopTest, AnswerWhoseDeliveryMessageWasNeverHandledStillComes) {
    // A host loop may take a message off the queue without dispatching it; the answer must not wait
    // for good behind the message it lost.
    const TakenCallback callback{lua.state(), lua.RefGlobal("record")};
    LaunchExchange(StartRequest("Test", CallbackRef(callback)), std::make_unique<FakeExchange>("lost message", false));
    MSG lost{};
    const ULONGLONG deadline = ::GetTickCount64() + orvane::test::TimeScaled(5000);
    while (!::PeekMessageW(&lost, AddinWindow().Handle(), WM_DELIVER_RESULT, WM_DELIVER_RESULT, PM_REMOVE)) {
        ASSERT_LT(::GetTickCount64(), deadline) << "no delivery message came";
        ::Sleep(1);
    }
    ASSERT_TRUE(PumpUntil([&] { return lua.Eval("#calls") == "1"; }));
    EXPECT_EQ(lua.Eval("calls[1][1]"), "lost message");
    EXPECT_TRUE(PumpUntil([] { return LiveRequests() == 0; }));
}

// Receives datagrams on a loopback port, each step given ten seconds anew, the whole exchange 300 ms.
class TricklingExchange final : public Exchange {
public:
    explicit TricklingExchange(std::atomic<std::uint16_t>& port) noexcept : port_(port) {}
    void Begin() override {
        EndWithin(300);
        std::uint32_t error = 0;
        socket_ = OverlappedSocket(SOCK_DGRAM, error);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        int length = sizeof at;
        if (!socket_ || ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
            ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&at), &length) != 0) {
            return Fail(Failure::SocketFailed);
        }
        port_ = ::ntohs(at.sin_port);
        ReceiveNext();
    }
    void Completed(DWORD, DWORD error) override {
        if (error != 0) return Fail(Failure::ReceiveFailed, error);
        ReceiveNext();
    }
    void AddressReady(std::optional<sockaddr_in>) override {}

private:
    void ReceiveNext() {
        LimitTo(10000);
        WSABUF buffer{sizeof byte_, &byte_};
        DWORD flags = 0;
        if (!Issued(::WSARecv(socket_.get(), &buffer, 1, nullptr, &flags, StartOperation(), nullptr))) {
            Fail(Failure::ReceiveFailed);
        }
    }
    std::atomic<std::uint16_t>& port_;
    char byte_ = 0;
};

// A server that sends a byte within every step's limit would hold its exchange, callback and socket
// for ever: the whole exchange ends at a limit of its own, however often each step's is set again.
TEST_F(ExchangeLoopTest, AnExchangeWhoseServerTricklesEndsAtItsWholeLimit) {
    WSADATA data{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    std::atomic<std::uint16_t> port{0};
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        const UniqueSocket sender(::socket(AF_INET, SOCK_DGRAM, 0));
        while (!stop) {
            if (const std::uint16_t to = port.load()) {
                sockaddr_in at{};
                at.sin_family = AF_INET;
                at.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
                at.sin_port = ::htons(to);
                (void)::sendto(sender.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&at), sizeof at);
            }
            ::Sleep(50);
        }
    });
    const TakenCallback callback{lua.state(), lua.RefGlobal("record")};
    LaunchExchange(StartRequest("Test", CallbackRef(callback)), std::make_unique<TricklingExchange>(port));
    const bool ended = PumpUntil([&] { return lua.Eval("#calls") == "1"; }, 20000);
    stop = true;
    trickle.join();
    ASSERT_TRUE(ended) << "the exchange ended while its server still trickled";
    EXPECT_EQ(lua.Eval("calls[1][1]"), "");
    EXPECT_EQ(failures.Take(), std::vector<std::string>{"Test: timed_out"});
}

// A debug listener that is attached but does not read holds each line up, for seconds: the loop, which
// every request waits on, must never be the thread held. Which thread wrote the request's line:
std::atomic<DWORD> g_lineWriter{0};

LONG CALLBACK NoteLineWriter(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    if (record.ExceptionCode == 0x40010006 /* DBG_PRINTEXCEPTION_C */ && record.NumberParameters >= 2) {
        const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
        if (text != nullptr && std::strncmp(text, "Orvane: Test: ", 14) == 0) g_lineWriter = ::GetCurrentThreadId();
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST_F(ExchangeLoopTest, ARequestTheLoopFailsHasItsLineWrittenByTheScriptThreadBeforeItsCallback) {
    void* const watch = ::AddVectoredExceptionHandler(1, &NoteLineWriter);
    const TakenCallback callback{lua.state(), lua.RefGlobal("record")};
    LaunchExchange(StartRequest("Test", CallbackRef(callback)), std::make_unique<FakeExchange>("fails", true));
    ASSERT_TRUE(PumpUntil([&] { return lua.Eval("#calls") == "1"; }));
    EXPECT_EQ(g_lineWriter.load(), ::GetCurrentThreadId());
    EXPECT_EQ(failures.Take(), std::vector<std::string>{"Test: no_memory"});
    ::RemoveVectoredExceptionHandler(watch);
}

// The loop completes a long body's receives that succeed at once itself, trusting the system to queue
// nothing for them; a packet queued all the same would complete the same receive a second time, on an
// exchange that may be gone. This holds the platform the suite runs on to that, where the loop would
// trust it, and shows that the port does bring a receive that had to wait.
TEST(SkippedPort, AReceiveThatSucceedsAtOnceBringsNoPacketWhereTheLoopTrustsTheSystem) {
    WSADATA data{};
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    UniqueSocket listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&at), &length), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    UniqueSocket client(::WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
    UniqueSocket server(::accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server);

    WSAPROTOCOL_INFOW provider{};
    length = sizeof provider;
    ASSERT_EQ(::getsockopt(client.get(), SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&provider), &length),
              0);
    if ((provider.dwServiceFlags1 & XP1_IFS_HANDLES) == 0) GTEST_SKIP() << "the loop keeps the port here";
    const UniqueKernelHandle port(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    ASSERT_TRUE(port);
    ASSERT_NE(::CreateIoCompletionPort(reinterpret_cast<HANDLE>(client.get()), port.get(), 7, 0), nullptr);
    ASSERT_TRUE(::SetFileCompletionNotificationModes(reinterpret_cast<HANDLE>(client.get()),
                                                     FILE_SKIP_COMPLETION_PORT_ON_SUCCESS));

    const auto receive = [&](OVERLAPPED& operation, char* into, ULONG size) {
        WSABUF buffer{size, into};
        DWORD flags = 0;
        operation = OVERLAPPED{};
        return ::WSARecv(client.get(), &buffer, 1, nullptr, &flags, &operation, nullptr) == 0 ? 0 : ::WSAGetLastError();
    };
    const auto next = [&](DWORD ms) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* done = nullptr;
        (void)::GetQueuedCompletionStatus(port.get(), &bytes, &key, &done, ms);
        return done;
    };

    const char sent[] = "twenty bytes, ready!";
    ASSERT_EQ(::send(server.get(), sent, 20, 0), 20);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client.get(), &readable);
    timeval wait{5, 0};
    ASSERT_EQ(::select(0, &readable, nullptr, nullptr, &wait), 1);
    char got[64] = {};
    OVERLAPPED first{};
    ASSERT_EQ(receive(first, got, sizeof got), 0);
    EXPECT_EQ(first.InternalHigh, 20u);  // the count the loop completes it with
    EXPECT_EQ(std::string(got, 20), std::string(sent, 20));
    EXPECT_EQ(next(200), nullptr);

    OVERLAPPED second{};
    ASSERT_EQ(receive(second, got, sizeof got), WSA_IO_PENDING);
    ASSERT_EQ(::send(server.get(), sent, 5, 0), 5);
    EXPECT_EQ(next(5000), &second);
}

}  // namespace
}  // namespace orvane
