// The speed-limit handler is called on the script state the host owns: what the add-in leaves on
// that stack stays there until the host unwinds, so thousands of tray messages must leave none.
#include <gtest/gtest.h>

#include <string>

#include "bridge/deliveries.hpp"
#include "bridge/message_window.hpp"
#include "bridge/window_messages.hpp"
#include "bridge/speed_limit.hpp"
#include "lua_fixture.hpp"

namespace orvane {
namespace {

using testing::LuaFixture;

TEST(SpeedLimitHandler, ThousandsOfMessagesLeaveTheScriptStackAsItWas) {
    if (DeliveryWindow() == nullptr || !::IsWindow(DeliveryWindow())) CreateMessageWindow();
    ASSERT_TRUE(::IsWindow(DeliveryWindow()));
    const struct {
        const char* name;
        const char* body;
    } handlers[] = {
        {"two results", "return 5, 7"},
        {"three results", "return 1, 2, 3"},
        {"no results", ""},
        {"raises", "error('raised on purpose')"},
    };
    constexpr int kRounds = 1000;
    for (const auto& handler : handlers) {
        SCOPED_TRACE(handler.name);
        LuaFixture lua;
        lua_State* L = lua.state();
        ASSERT_EQ(lua.Run(std::string("calls = 0 function handler(code) calls = calls + 1 ") + handler.body + " end"),
                  "");
        // Values of the host's own below the call: the handler's results must go, these must stay.
        lua_pushstring(L, "host's own");
        lua_pushinteger(L, 42);
        StoreSpeedLimitHandler(CallbackRef{L, lua.RefGlobal("handler")});
        for (int round = 0; round < kRounds; ++round) {
            for (UINT message :
                 {WM_SPEED_LIMIT_ASK, WM_SPEED_RESTORE_ASK, WM_SPEED_LIMIT_REPLY, WM_SPEED_LIMIT_MANUAL}) {
                ::SendMessageW(DeliveryWindow(), message, 0, 0);
            }
        }
        ClearSpeedLimitHandler();
        EXPECT_EQ(lua.Eval("calls"), std::to_string(4 * kRounds));
        ASSERT_EQ(lua_gettop(L), 2);
        EXPECT_STREQ(lua_tostring(L, 1), "host's own");
        EXPECT_EQ(lua_tointeger(L, 2), 42);
    }
}

}  // namespace
}  // namespace orvane
