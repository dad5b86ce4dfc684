// Worker results reach script callbacks through the message window, on the window's thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bridge/message_window.hpp"
#include "lua_fixture.hpp"

namespace orvane {
namespace {

using testing::LuaFixture;
using testing::PumpUntil;

class Delivery : public ::testing::Test {
protected:
    void SetUp() override {
        if (MessageWindow() == nullptr || !::IsWindow(MessageWindow())) CreateMessageWindow();
        ASSERT_TRUE(::IsWindow(MessageWindow()));
        ASSERT_EQ(lua.Run("calls = {} "
                          "function record(...) calls[#calls + 1] = { n = select('#', ...), ... } "
                          "  return 'ignored', 'too' end"),
                  "");
    }

    // Delivers from a worker thread, as the network workers do, while this thread serves messages.
    bool DeliverFromWorker(const CallbackRef& callback, const std::string& result, UINT message) {
        std::atomic<bool> finished{false};
        bool delivered = false;
        std::thread worker([&] {
            delivered = DeliverToScript(callback, result, message);
            finished = true;
        });
        const bool pumped = PumpUntil([&] { return finished.load(); });
        worker.join();
        EXPECT_TRUE(pumped);
        return delivered;
    }

    LuaFixture lua;
};

TEST_F(Delivery, CallbackGetsOneTextCutAtZeroByteAndItsReferenceIsReleased) {
    struct Case {
        std::string result;
        const char* expected;
        UINT message;
    } cases[] = {
        {"abc", "abc", WM_DELIVER_RESULT},
        {"", "", WM_DELIVER_RESULT},
        {std::string("abc\0def", 7), "abc", WM_DELIVER_RESULT},
        {"same as 0x401", "same as 0x401", WM_DELIVER_RESULT_2},
    };
    int expectedCalls = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        CallbackRef callback{lua.state(), lua.RefGlobal("record")};
        ASSERT_TRUE(lua.RefIsFunction(callback.ref));
        EXPECT_TRUE(DeliverFromWorker(callback, c.result, c.message));
        ++expectedCalls;
        EXPECT_EQ(lua.Eval("#calls"), std::to_string(expectedCalls));
        EXPECT_EQ(lua.Eval("calls[#calls].n"), "1");
        EXPECT_EQ(lua.Eval("calls[#calls][1]"), c.expected);
        EXPECT_FALSE(lua.RefIsFunction(callback.ref)) << "the reference must be gone after delivery";
        EXPECT_EQ(lua_gettop(lua.state()), 0) << "delivery leaves nothing on the stack";
    }
    EXPECT_EQ(PendingDeliveryCount(), 0u);
}

TEST_F(Delivery, CallbackThatRaisesStillHasItsReferenceReleased) {
    ASSERT_EQ(lua.Run("function boom(text) error('boom: ' .. text) end"), "");
    CallbackRef callback{lua.state(), lua.RefGlobal("boom")};
    EXPECT_TRUE(DeliverFromWorker(callback, "x", WM_DELIVER_RESULT));
    EXPECT_FALSE(lua.RefIsFunction(callback.ref));
    EXPECT_EQ(lua_gettop(lua.state()), 0);
}

TEST_F(Delivery, MessageThatIsNotOneOfOurDeliveriesIsIgnored) {
    CallbackRef callback{lua.state(), lua.RefGlobal("record")};
    std::string result = "forged";
    // The right addresses, but not announced by a worker: a forger could have guessed them.
    EXPECT_EQ(::SendMessageW(MessageWindow(), WM_DELIVER_RESULT, reinterpret_cast<WPARAM>(&callback),
                             reinterpret_cast<LPARAM>(&result)),
              0);
    // Garbage that would crash the window procedure if it were dereferenced.
    EXPECT_EQ(::SendMessageW(MessageWindow(), WM_DELIVER_RESULT_2, 0x10, 0x20), 0);
    EXPECT_EQ(::SendMessageW(MessageWindow(), WM_DELIVER_RESULT, static_cast<WPARAM>(-1), -1), 0);
    EXPECT_EQ(lua.Eval("#calls"), "0");
    EXPECT_TRUE(lua.RefIsFunction(callback.ref)) << "an ignored message releases nothing";
}

TEST_F(Delivery, AfterCloseSendsFailAndTheCallbackIsNeverCalled) {
    HWND window = MessageWindow();
    EXPECT_EQ(::SendMessageW(window, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(MessageWindow(), window) << "the handle cell keeps the destroyed window";
    CallbackRef callback{lua.state(), lua.RefGlobal("record")};
    EXPECT_FALSE(DeliverFromWorker(callback, "late", WM_DELIVER_RESULT));
    EXPECT_EQ(lua.Eval("#calls"), "0");
    EXPECT_EQ(PendingDeliveryCount(), 0u) << "an undelivered result must not stay pending";
}

TEST(MessageWindow, IsMessageOnlyWithItsNameAndUserData) {
    CreateMessageWindow();
    HWND window = MessageWindow();
    ASSERT_TRUE(::IsWindow(window));
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    EXPECT_STREQ(name, L"OrvaneMessageOnlyWindow");
    ::GetWindowTextW(window, name, 64);
    EXPECT_STREQ(name, L"OrvaneMessageOnlyWindow");
    EXPECT_EQ(::GetWindowLongPtrW(window, GWLP_USERDATA), 20120302);
    EXPECT_FALSE(::IsWindowVisible(window));
    // Message-only: found among the message-only windows, never among the top-level ones shown.
    EXPECT_EQ(::FindWindowExW(HWND_MESSAGE, nullptr, L"OrvaneMessageOnlyWindow", L"OrvaneMessageOnlyWindow"), window);
    EXPECT_EQ(::FindWindowW(L"OrvaneMessageOnlyWindow", L"OrvaneMessageOnlyWindow"), window);
}

TEST(MessageWindow, AnswersItsTableAndPassesOtherNumbersOn) {
    CreateMessageWindow();
    HWND window = MessageWindow();
    for (UINT message : {0x403u, 0x404u, 0x405u, 0x406u, 0x702u}) {
        EXPECT_EQ(::SendMessageW(window, message, 1, 2), 0) << std::hex << message;
    }
    // WM_GETTEXTLENGTH is not in the table: DefWindowProcW answers with the title's length.
    EXPECT_EQ(::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0), 23);
}

}  // namespace
}  // namespace orvane
