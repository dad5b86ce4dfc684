// The calling convention seen from the script stack, driven in-process through the method table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bridge/deliveries.hpp"
#include "bridge/message_table.hpp"
#include "bridge/message_window.hpp"
#include "bridge/speed_limit.hpp"
#include "bridge/window_messages.hpp"
#include "failure_lines.hpp"
#include "lua_fixture.hpp"
#include "script/binding.hpp"

extern "C" int WINAPI Test();

// C++ blocks made and not yet freed by the thread being counted: a method call that Lua leaves by
// longjmp must not skip the destructors of what it made. While g_failFrom is set, the counted thread
// gets no block of that many bytes or more; while g_failSize is, none of exactly that many.
namespace {
std::atomic<DWORD> g_countedThread{0};
long g_liveBlocks = 0;  // only the counted thread changes it
std::size_t g_failFrom = 0;
std::size_t g_failSize = 0;
bool Counted() { return ::GetCurrentThreadId() == g_countedThread.load(std::memory_order_relaxed); }
void Free(void* block) noexcept {
    if (block != nullptr && Counted()) --g_liveBlocks;
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) {
    if (((g_failFrom != 0 && size >= g_failFrom) || size == g_failSize) && Counted()) throw std::bad_alloc();
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    if (Counted()) ++g_liveBlocks;
    return block;
}
void operator delete(void* block) noexcept { Free(block); }
void operator delete(void* block, std::size_t) noexcept { Free(block); }

namespace orvane {
namespace {

using testing::FailingAllocator;
using testing::FailureLines;
using testing::LuaFixture;
using testing::PumpUntil;

lua_CFunction MethodNamed(const char* name) {
    for (const VemoMethod* row = kMethodTable; row->name != nullptr; ++row) {
        if (std::strcmp(row->name, name) == 0) return row->function;
    }
    return nullptr;
}

TEST(MethodTable, ListsTheSeventeenMethodsInOrderAndEndsWithAZeroRow) {
    const char* expected[] = {"GetTipsId",
                              "GetActiveGame",
                              "IsOrvaneRun",
                              "IsOrvaneSetup",
                              "LaunchOrvaneSetup",
                              "LaunchOrvane",
                              "QueryOrvaneSetupStatus",
                              "GetDownloadPath",
                              "SetSpeedLimitHandler",
                              "ClearSpeedLimitHandler",
                              "LimitModeManualChanged",
                              "LogPrint",
                              "ExecuteExternal",
                              "SyncHttpRequest",
                              "IsWindowForeground",
                              "RecordTipsShow",
                              "RemoveLog"};
    for (std::size_t i = 0; i < 17; ++i) {
        EXPECT_STREQ(kMethodTable[i].name, expected[i]);
        EXPECT_NE(kMethodTable[i].function, nullptr);
        EXPECT_EQ(kMethodTable[i].reserved, 0);
    }
    EXPECT_EQ(kMethodTable[17].name, nullptr);
    EXPECT_EQ(kMethodTable[17].function, nullptr);
}

TEST(Convention, TextsAreCutAtTheFirstZeroByteAndNumbersReadAsTheirText) {
    LuaFixture lua;
    lua_State* L = lua.state();
    lua_pushlstring(L, "abc\0def", 7);
    lua_pushinteger(L, 42);
    lua_pushnumber(L, 1.5);
    lua_pushnil(L);
    lua_pushboolean(L, 1);
    lua_newtable(L);
    lua_pushstring(L, "\xC3\xA9");
    EXPECT_EQ(binding::TextAt(L, 1), "abc");
    EXPECT_EQ(binding::TextAt(L, 2), "42");
    EXPECT_EQ(binding::TextAt(L, 3), "1.5");
    EXPECT_EQ(binding::TextAt(L, 4), "") << "nil has no text form";
    EXPECT_EQ(binding::TextAt(L, 5), "") << "a boolean has no text form";
    EXPECT_EQ(binding::TextAt(L, 6), "") << "a table has no text form";
    EXPECT_EQ(binding::Stack<std::wstring>::Make(binding::Stack<std::wstring>::Read(L, 7)), L"\u00e9")
        << "UTF-8 becomes UTF-16";
    EXPECT_EQ(binding::Stack<lua_Integer>::Read(L, 2), 42);
    EXPECT_EQ(binding::Stack<lua_Integer>::Read(L, 4), 0) << "a value that is not a number reads as 0";
}

TEST(Convention, AnyUserDataIsAReceiverAndItIsNeverDereferenced) {
    LuaFixture lua;
    lua_State* L = lua.state();
    StoreSetupStatus(3, 57);
    // A light user data pointing nowhere: reading through it would crash.
    lua_pushlightuserdata(L, reinterpret_cast<void*>(0x10));
    EXPECT_EQ(MethodNamed("QueryOrvaneSetupStatus")(L), 2);
    EXPECT_EQ(lua_tointeger(L, -2), 3);
    EXPECT_EQ(lua_tointeger(L, -1), 57);
    StoreSetupStatus(0, 0);
}

TEST(Convention, SetupStatusPassesThroughAsSignedIntegers) {
    CreateMessageWindow();
    LuaFixture lua;
    lua_State* L = lua.state();
    ::SendMessageW(AddinWindow().Handle(), WM_SETUP_STATUS, static_cast<WPARAM>(0xFFFFFFFFu), 57);
    lua_newuserdata(L, sizeof(void*));
    ASSERT_EQ(MethodNamed("QueryOrvaneSetupStatus")(L), 2);
    EXPECT_EQ(lua_tointeger(L, -2), -1) << "wParam 0xFFFFFFFF reaches the script as -1";
    EXPECT_EQ(lua_tointeger(L, -1), 57);
    StoreSetupStatus(0, 0);
}

TEST(Convention, CallbackIsReferencedOnlyWhenItIsAFunction) {
    // A handler is kept only while the window that calls it lives.
    CreateMessageWindow();
    LuaFixture lua;
    lua_State* L = lua.state();
    lua_newuserdata(L, sizeof(void*));
    lua_pushinteger(L, 42);
    const int top = lua_gettop(L);
    ASSERT_EQ(MethodNamed("SetSpeedLimitHandler")(L), 1);
    EXPECT_EQ(lua_toboolean(L, -1), 0);
    EXPECT_EQ(lua_gettop(L), top + 1) << "the non-function stays where it was";
    lua_settop(L, 0);

    ASSERT_EQ(lua.Run("function handler(code) handled = code end"), "");
    lua_newuserdata(L, sizeof(void*));
    lua_getglobal(L, "handler");
    ASSERT_EQ(MethodNamed("SetSpeedLimitHandler")(L), 1);
    EXPECT_EQ(lua_toboolean(L, -1), 1);
    EXPECT_EQ(lua_gettop(L), 2) << "the function was popped into the registry, the answer pushed";
    ClearSpeedLimitHandler();
}

TEST(Convention, AMemoryErrorWhileReadingOrPushingSkipsNoDestructor) {
    // The download path is long enough that its texts live on the heap; asked once beforehand, so
    // that whatever the first answer sets up for good is there before counting.
    {
        LuaFixture warm;
        lua_newuserdata(warm.state(), sizeof(void*));
        ASSERT_EQ(MethodNamed("GetDownloadPath")(warm.state()), 1);
        ASSERT_GT(std::strlen(lua_tostring(warm.state(), -1)), 16u);
    }
    const struct {
        const char* method;
        // What the call raises on: a number whose text form must be made after a long text was read,
        // or the result text.
        const char* arguments;
        int count;
    } cases[] = {
        {"GetTipsId", "'a pid long enough to need the heap', 12345, function() end", 3},
        {"LaunchOrvaneSetup", "'a path long enough to need the heap', 12345", 2},
        {"GetDownloadPath", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        FailingAllocator allocator;
        LuaFixture lua(&FailingAllocator::Allocate, &allocator);
        lua_State* L = lua.state();
        ASSERT_EQ(lua.Run(std::string("function arguments() return ") + c.arguments + " end"), "");
        lua_pushcfunction(L, MethodNamed(c.method));
        lua_newuserdata(L, sizeof(void*));
        lua_getglobal(L, "arguments");
        lua_call(L, 0, c.count);
        ASSERT_TRUE(lua_checkstack(L, 40));
        g_countedThread.store(::GetCurrentThreadId());
        const long before = g_liveBlocks;
        allocator.failing = true;
        const int status = lua_pcall(L, c.count + 1, LUA_MULTRET, 0);
        allocator.failing = false;
        const long left = g_liveBlocks - before;
        g_countedThread.store(0);
        EXPECT_EQ(status, LUA_ERRMEM);
        EXPECT_EQ(left, 0) << "C++ blocks the call left behind";
    }
}

// Registry references that hold a value (luaL_ref's free slots hold numbers).
int LiveRefs(lua_State* L) {
    int live = 0;
    lua_pushnil(L);
    while (lua_next(L, LUA_REGISTRYINDEX) != 0) {
        if (lua_type(L, -2) == LUA_TNUMBER && lua_type(L, -1) != LUA_TNUMBER) ++live;
        lua_pop(L, 1);
    }
    return live;
}

TEST(Convention, AnOperationOutOfMemoryAnswersTheFailureValuesWritesTheCauseAndKeepsNoCallback) {
    LuaFixture lua;
    lua_State* L = lua.state();
    const std::string longText(4096, 'x');  // made into a C++ text before the operation runs
    // The add-in's own thread in this state is made on the first callback and kept for good.
    lua_newuserdata(L, sizeof(void*));
    ASSERT_EQ(lua.Run("function callback() end"), "");
    lua_getglobal(L, "callback");
    ASSERT_EQ(MethodNamed("SetSpeedLimitHandler")(L), 1);
    ClearSpeedLimitHandler();
    lua_settop(L, 0);
    const int refs = LiveRefs(L);
    FailureLines failures;

    g_countedThread.store(::GetCurrentThreadId());
    g_failFrom = 1024;
    lua_newuserdata(L, sizeof(void*));
    lua_pushstring(L, longText.c_str());
    lua_pushstring(L, "");
    const int launched = MethodNamed("LaunchOrvaneSetup")(L);
    const bool launchAnswer = lua_toboolean(L, -1) != 0;
    lua_settop(L, 0);
    lua_newuserdata(L, sizeof(void*));
    lua_pushstring(L, longText.c_str());
    lua_pushstring(L, "c");
    lua_getglobal(L, "callback");
    const int asked = MethodNamed("GetTipsId")(L);
    g_failFrom = 0;
    g_countedThread.store(0);
    lua_settop(L, 0);

    EXPECT_EQ(launched, 1);
    EXPECT_FALSE(launchAnswer);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(LiveRefs(L), refs) << "the callback's reference is unreffed";
    EXPECT_EQ(failures.Take(), (std::vector<std::string>{"LaunchOrvaneSetup: no_memory", "GetTipsId: no_memory"}));
}

// A Lua state driven from another thread would race on everything the add-in keeps for scripts.
TEST(Convention, ACallFromAnotherThreadThanTheScriptsAnswersTheFailureValuesAndWritesTheCause) {
    LuaFixture lua;
    lua_State* L = lua.state();
    StoreSetupStatus(3, 57);
    lua_newuserdata(L, sizeof(void*));
    ASSERT_EQ(MethodNamed("QueryOrvaneSetupStatus")(L), 2) << "the script thread's own call";
    lua_settop(L, 0);
    FailureLines failures;
    int results = 0;
    std::thread([&] {
        lua_newuserdata(L, sizeof(void*));
        results = MethodNamed("QueryOrvaneSetupStatus")(L);
    }).join();
    EXPECT_EQ(results, 2);
    EXPECT_EQ(lua_tointeger(L, -2), -1);
    EXPECT_TRUE(lua_isnil(L, -1));
    EXPECT_EQ(failures.Take(), std::vector<std::string>{"QueryOrvaneSetupStatus: not_script_thread"});
    StoreSetupStatus(0, 0);
}

// Without its note nothing would tell of the state's close, so no callback of it is kept then.
TEST(Convention, AStateWhoseNoteFindsNoMemoryKeepsNoCallbackAndTriesAgainAtItsNextCall) {
    CreateMessageWindow();
    LuaFixture lua;
    lua_State* L = lua.state();
    ASSERT_EQ(lua.Run("function handler() return 1, 2 end"), "");
    const int refs = LiveRefs(L);
    FailureLines failures;
    const auto setHandler = [&] {
        lua_newuserdata(L, sizeof(void*));
        lua_getglobal(L, "handler");
        EXPECT_EQ(MethodNamed("SetSpeedLimitHandler")(L), 1);
        const bool kept = lua_toboolean(L, -1) != 0;
        lua_settop(L, 0);
        return kept;
    };
    g_countedThread.store(::GetCurrentThreadId());
    g_failSize = sizeof(StateNote);
    const bool withoutMemory = setHandler();
    g_failSize = 0;
    g_countedThread.store(0);
    EXPECT_FALSE(withoutMemory);
    EXPECT_EQ(LiveRefs(L), refs) << "the refused handler is not referenced";
    EXPECT_EQ(failures.Take(), std::vector<std::string>{"SetSpeedLimitHandler: no_memory"});
    EXPECT_TRUE(setHandler());
    ClearSpeedLimitHandler();
}

// What the export Test sends (the module's export itself is called by the script tests).
TEST(SpeedLimitReply, FromAnotherThreadCallsTheStoredHandlerWithCodeTwoThroughTheWindow) {
    CreateMessageWindow();
    LuaFixture lua;
    ASSERT_EQ(lua.Run("codes = '' function handler(code) codes = codes .. code .. ',' return 5, 7 end"), "");
    StoreSpeedLimitHandler(CallbackRef(TakenCallback{lua.state(), lua.RefGlobal("handler")}));
    int answer = -1;
    bool finished = false;
    std::thread caller([&] {
        answer = static_cast<int>(::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_REPLY, 0, 0));
        finished = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return finished; }));
    caller.join();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(lua.Eval("codes"), "2,");
    EXPECT_EQ(lua_gettop(lua.state()), 0) << "the handler's results do not pile up on the stack";
    ClearSpeedLimitHandler();
}

TEST(MessageWindow, SecondStartupLeavesTwoWindowsAndDeliversThroughTheNewer) {
    CreateMessageWindow();
    HWND older = AddinWindow().Handle();
    CreateMessageWindow();
    HWND newer = AddinWindow().Handle();
    EXPECT_NE(older, newer);
    EXPECT_TRUE(::IsWindow(older));
    EXPECT_TRUE(::IsWindow(newer));
    // Closing the older window through itself destroys the window the cell names: the newer one.
    ::SendMessageW(older, WM_CLOSE, 0, 0);
    EXPECT_TRUE(::IsWindow(older));
    EXPECT_FALSE(::IsWindow(newer));
    ::DestroyWindow(older);
}

}  // namespace
}  // namespace orvane
