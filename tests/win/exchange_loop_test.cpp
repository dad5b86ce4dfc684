// The life of an asynchronous request: started on the script thread, answered from a worker, and
// dropped cleanly when no worker can be started.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>

#include "bridge/message_window.hpp"
#include "lua_fixture.hpp"
#include "net/async_request.hpp"

namespace orvane {
namespace {

using testing::LuaFixture;
using testing::PumpUntil;

std::atomic<int> g_workerRuns{0};

std::string JoinExchange(const std::string& first, const std::string& second) { return first + "|" + second; }
std::string ThrowingExchange(const std::string&, const std::string&) { throw std::bad_alloc(); }

void JoinWorker(void* request) {
    ++g_workerRuns;
    CompleteRequest(request, &JoinExchange);
}
void ThrowingWorker(void* request) {
    ++g_workerRuns;
    CompleteRequest(request, &ThrowingExchange);
}
bool NoThreadsLeft(WorkerProc, void*) { return false; }

class AsyncRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (MessageWindow() == nullptr || !::IsWindow(MessageWindow())) CreateMessageWindow();
        ASSERT_EQ(lua.Run("calls = {} function record(...) calls[#calls + 1] = { n = select('#', ...), ... } end"), "");
        g_workerRuns = 0;
    }
    LuaFixture lua;
};

TEST_F(AsyncRequestTest, WorkerThatCannotStartDropsTheRequestAndReleasesItsReferenceAtOnce) {
    CallbackRef callback{lua.state(), lua.RefGlobal("record")};
    ASSERT_TRUE(lua.RefIsFunction(callback.ref));
    StartRequestWorker("a", "b", callback, &JoinWorker, &NoThreadsLeft);
    EXPECT_FALSE(lua.RefIsFunction(callback.ref)) << "nothing will ever deliver, so the reference must go now";
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(g_workerRuns.load(), 0);
    EXPECT_EQ(lua.Eval("#calls"), "0") << "a dropped request never calls back";
}

TEST_F(AsyncRequestTest, StartedRequestCallsBackOnceWithItsAnswerOrTheEmptyText) {
    struct Case {
        WorkerProc worker;
        const char* expected;
    } cases[] = {
        {&JoinWorker, "pid|cid"}, {&ThrowingWorker, ""},  // an exchange that fails by exception still answers
    };
    int expectedCalls = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        CallbackRef callback{lua.state(), lua.RefGlobal("record")};
        StartRequestWorker("pid", "cid", callback, c.worker);
        ++expectedCalls;
        ASSERT_TRUE(PumpUntil([&] { return lua.Eval("#calls") == std::to_string(expectedCalls); }));
        EXPECT_EQ(lua.Eval("calls[#calls].n"), "1");
        EXPECT_EQ(lua.Eval("calls[#calls][1]"), c.expected);
        EXPECT_FALSE(lua.RefIsFunction(callback.ref));
        // The worker holds the module until it has left; then it is gone for good.
        EXPECT_TRUE(PumpUntil([] { return RunningWorkers() == 0; }));
    }
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(lua.Eval("#calls"), std::to_string(expectedCalls)) << "no second call";
}

}  // namespace
}  // namespace orvane
