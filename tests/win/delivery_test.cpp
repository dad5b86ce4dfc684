// Answers reach script callbacks through the message window, on the window's thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "bridge/deliveries.hpp"
#include "bridge/message_table.hpp"
#include "bridge/message_window.hpp"
#include "bridge/speed_limit.hpp"
#include "bridge/window_messages.hpp"
#include "failure_lines.hpp"
#include "lua_fixture.hpp"
#include "script/script_object.hpp"

namespace orvane {
namespace {

using testing::FailingAllocator;
using testing::FailureLines;
using testing::LuaFixture;
using testing::PoisoningAllocator;
using testing::PumpUntil;

class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (AddinWindow().Handle() == nullptr || !::IsWindow(AddinWindow().Handle())) CreateMessageWindow();
        ASSERT_TRUE(::IsWindow(AddinWindow().Handle()));
        ASSERT_EQ(lua.Run("calls = {} "
                          "function record(...) calls[#calls + 1] = { n = select('#', ...), ... } "
                          "  return 'ignored', 'too' end"),
                  "");
    }

    // Queues from another thread, as the network loop does; never inside a call of the script thread.
    static void QueueFromAnotherThread(TakenCallback callback, std::string answer) {
        auto request = std::make_unique<Request>("Test", CallbackRef(callback));
        request->Answer(std::move(answer));
        std::thread([&] { Deliver(std::move(request)); }).join();
    }

    LuaFixture lua;
    FailureLines failures;
};

TEST_F(DeliveryTest, CallbackGetsOneTextCutAtZeroByteAndItsReferenceIsUnreffed) {
    struct Case {
        std::string answer;
        const char* expected;
    } cases[] = {{"abc", "abc"}, {"", ""}, {std::string("abc\0def", 7), "abc"}};
    int expectedCalls = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const TakenCallback callback{lua.state(), lua.RefGlobal("record")};
        QueueFromAnotherThread(callback, c.answer);
        EXPECT_EQ(lua.Eval("#calls"), std::to_string(expectedCalls)) << "only once the window's messages are served";
        ++expectedCalls;
        ASSERT_TRUE(PumpUntil([&] { return lua.Eval("#calls") == std::to_string(expectedCalls); }));
        EXPECT_EQ(lua.Eval("calls[#calls].n"), "1");
        EXPECT_EQ(lua.Eval("calls[#calls][1]"), c.expected);
        EXPECT_FALSE(lua.RefIsFunction(callback.ref)) << "the reference must be gone after delivery";
        EXPECT_EQ(lua_gettop(lua.state()), 0) << "delivery leaves nothing on the stack";
    }
    EXPECT_EQ(LiveRequests(), 0);
}

TEST_F(DeliveryTest, CallbackThatRaisesStillHasItsReferenceUnreffed) {
    ASSERT_EQ(lua.Run("function boom(text) error('boom: ' .. text) end"), "");
    const TakenCallback callback{lua.state(), lua.RefGlobal("boom")};
    QueueFromAnotherThread(callback, "x");
    ASSERT_TRUE(PumpUntil([&] { return !lua.RefIsFunction(callback.ref); }));
    EXPECT_EQ(lua_gettop(lua.state()), 0);
}

TEST_F(DeliveryTest, AnswerWithNoRoomInMemoryReachesItsCallbackAsTheEmptyText) {
    // A long answer may not fit a 32-bit process. Lua's memory error is the runtime's to report, and
    // the callback gets the empty text, as after any failure.
    FailingAllocator allocator;
    allocator.from = 1 << 20;
    LuaFixture tight(&FailingAllocator::Allocate, &allocator);
    ASSERT_EQ(tight.Run("calls = {} function record(...) calls[#calls + 1] = { n = select('#', ...), ... } end"), "");
    const TakenCallback callback{tight.state(), tight.RefGlobal("record")};
    allocator.failing = true;
    QueueFromAnotherThread(callback, std::string(4 << 20, 'x'));
    EXPECT_TRUE(PumpUntil([&] { return tight.Eval("#calls") == "1"; }));
    allocator.failing = false;
    EXPECT_EQ(tight.Eval("calls[1][1]"), "");
    EXPECT_EQ(failures.Take(), std::vector<std::string>{"Test: no_memory"});
    EXPECT_FALSE(tight.RefIsFunction(callback.ref));
    EXPECT_EQ(lua_gettop(tight.state()), 0);
}

TEST_F(DeliveryTest, DeliveryMessagesFromOutsideReadNothingAndCallNothing) {
    // Garbage that would crash the window procedure if it were dereferenced.
    EXPECT_EQ(::SendMessageW(AddinWindow().Handle(), WM_DELIVER_RESULT_2, 0x10, 0x20), 0);
    EXPECT_EQ(::SendMessageW(AddinWindow().Handle(), WM_DELIVER_RESULT, static_cast<WPARAM>(-1), -1), 0);
    EXPECT_EQ(::PostMessageW(AddinWindow().Handle(), WM_DELIVER_RESULT, 1, 2), TRUE);
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(lua.Eval("#calls"), "0");
}

TEST_F(DeliveryTest, AfterCloseNothingIsDeliveredAndNothingWaits) {
    const TakenCallback queued{lua.state(), lua.RefGlobal("record")};
    QueueFromAnotherThread(queued, "queued before the close");
    HWND window = AddinWindow().Handle();
    EXPECT_EQ(::SendMessageW(window, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(AddinWindow().Handle(), window) << "the window keeps naming the destroyed one";
    const TakenCallback late{lua.state(), lua.RefGlobal("record")};
    QueueFromAnotherThread(late, "late");
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(lua.Eval("#calls"), "0");
    EXPECT_EQ(LiveRequests(), 0) << "undeliverable answers must not wait for a window that may come";
    EXPECT_EQ(failures.Take(), (std::vector<std::string>{"Test: window_closed", "Test: window_closed"}));
}

TEST_F(DeliveryTest, ReferenceOfAnAnswerThatComesAfterCloseGoesAtTheNextMethodCallInItsState) {
    lua_State* L = lua.state();
    lua_getglobal(L, "record");
    const TakenCallback late = TakeCallback(L);  // as a method takes it
    ::SendMessageW(AddinWindow().Handle(), WM_CLOSE, 0, 0);
    // The exchange loop finishes the request after the close; only the script thread may unref it.
    QueueFromAnotherThread(late, std::string(1 << 20, 'x'));
    EXPECT_EQ(LiveRequests(), 0) << "the answer goes at once";
    const lua_CFunction isOrvaneRun = kMethodTable[2].function;
    LuaFixture other;
    lua_newuserdata(other.state(), sizeof(void*));
    isOrvaneRun(other.state());
    EXPECT_TRUE(lua.RefIsFunction(late.ref)) << "a call in another Lua state leaves it alone";
    lua_newuserdata(L, sizeof(void*));
    isOrvaneRun(L);
    EXPECT_FALSE(lua.RefIsFunction(late.ref)) << "the next call in its own state unrefs it";
    EXPECT_EQ(lua.Eval("#calls"), "0");
}

TEST_F(DeliveryTest, AfterCloseTheWindowOfALaterStartupCallsNothingOfTheClosedState) {
    // The host may close the state right after WM_CLOSE, and start another with a second Startup.
    ASSERT_EQ(lua.Run("handled = 0 function handler() handled = handled + 1 return 1, 2 end"), "");
    const int handlerRef = lua.RefGlobal("handler");
    StoreSpeedLimitHandler(CallbackRef(TakenCallback{lua.state(), handlerRef}));
    auto request = std::make_unique<Request>("Test", CallbackRef(TakenCallback{lua.state(), lua.RefGlobal("record")}));
    ::SendMessageW(AddinWindow().Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(lua.RefIsFunction(handlerRef)) << "the handler is unreffed while its state surely lives";
    // A script of the closed window's state runs on, and sets a handler again.
    const int againRef = lua.RefGlobal("handler");
    EXPECT_FALSE(StoreSpeedLimitHandler(CallbackRef(TakenCallback{lua.state(), againRef})));
    EXPECT_FALSE(lua.RefIsFunction(againRef));
    CreateMessageWindow();
    // The request was under way during the close, and finishes now.
    std::thread([&] { Deliver(std::move(request)); }).join();
    PumpUntil([] { return false; }, 200);
    ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_REPLY, 0, 0);
    EXPECT_EQ(lua.Eval("#calls"), "0");
    EXPECT_EQ(lua.Eval("handled"), "0");
    EXPECT_EQ(LiveRequests(), 0);
    EXPECT_EQ(failures.Take(),
              (std::vector<std::string>{"SetSpeedLimitHandler: window_closed", "Test: window_closed"}));
}

// The ways the window answers go to can end without WM_CLOSE: the host destroys it, or the host's
// thread ends and the system destroys its windows, which no procedure of ours may see; another process
// may have posted a WM_DESTROY before either; or the host leaves the window as it is. Each way the host
// may close that window's state next and start another with a new Startup.
struct WindowEnd {
    const char* name;
    bool procedureSeesIt;
    bool forgedDestroyFirst;  // a WM_DESTROY from outside, before the callback is taken
    bool destroyed;
};
constexpr WindowEnd kWindowEnds[] = {
    {"DestroyWindow", true, false, true},
    {"gone unseen, as with its thread", false, false, true},
    {"a forged WM_DESTROY, later DestroyWindow", true, true, true},
    {"left as it is, a second Startup", true, false, false},
};

void BeforeTaking(const WindowEnd& end) {
    if (end.forgedDestroyFirst) ::SendMessageW(AddinWindow().Handle(), WM_DESTROY, 0, 0);
}

void EndWindowWithoutClose(const WindowEnd& end) {
    if (!end.destroyed) return;
    HWND window = AddinWindow().Handle();
    if (!end.procedureSeesIt) {
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&::DefWindowProcW));
    }
    ASSERT_TRUE(::DestroyWindow(window));
}

// The first state's memory is filled once freed and never reused, so touching it faults.
TEST_F(DeliveryTest, AnAnswerForAStateWhoseWindowWentWithoutCloseReachesNothingAfterIt) {
    for (const WindowEnd& end : kWindowEnds) {
        SCOPED_TRACE(end.name);
        BeforeTaking(end);
        std::optional<LuaFixture> first(std::in_place, &PoisoningAllocator::Allocate, nullptr);
        ASSERT_EQ(first->Run("function record() end"), "");
        lua_getglobal(first->state(), "record");
        auto request = std::make_unique<Request>("Test", CallbackRef(TakeCallback(first->state())));
        EndWindowWithoutClose(end);
        first.reset();
        LuaFixture second;
        CreateMessageWindow();
        std::thread([&] { Deliver(std::move(request)); }).join();
        PumpUntil([] { return false; }, 200);
        EXPECT_EQ(LiveRequests(), 0);
        EXPECT_EQ(failures.Take(), std::vector<std::string>{"Test: window_closed"});
        // The new window serves the new state as usual.
        ASSERT_EQ(second.Run("calls = 0 function record() calls = calls + 1 end"), "");
        QueueFromAnotherThread(TakenCallback{second.state(), second.RefGlobal("record")}, "x");
        EXPECT_TRUE(PumpUntil([&] { return second.Eval("calls") == "1"; }));
    }
}

TEST_F(DeliveryTest, AHandlerOfAStateWhoseWindowWentWithoutCloseIsNeitherCalledNorUnreffedAfterIt) {
    for (const WindowEnd& end : kWindowEnds) {
        SCOPED_TRACE(end.name);
        BeforeTaking(end);
        std::optional<LuaFixture> first(std::in_place, &PoisoningAllocator::Allocate, nullptr);
        ASSERT_EQ(first->Run("function handler() return 1, 2 end"), "");
        lua_getglobal(first->state(), "handler");
        ASSERT_TRUE(StoreSpeedLimitHandler(CallbackRef(TakeCallback(first->state()))));
        EndWindowWithoutClose(end);
        first.reset();
        LuaFixture second;
        ASSERT_EQ(second.Run("codes = '' function handler(code) codes = codes .. code end"), "");
        CreateMessageWindow();
        // The tray asks: nothing of the closed state may run.
        ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_ASK, 0, 0);
        // The new state's first handler replaces the old one without unreffing it there.
        lua_getglobal(second.state(), "handler");
        EXPECT_TRUE(StoreSpeedLimitHandler(CallbackRef(TakeCallback(second.state()))));
        ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_REPLY, 0, 0);
        EXPECT_EQ(second.Eval("codes"), "2");
        ClearSpeedLimitHandler();
    }
}

int StoreHandlerAtClose(lua_State* L) {
    lua_getglobal(L, "handler");
    StoreSpeedLimitHandler(CallbackRef(TakeCallback(L)));
    return 0;
}

// lua_close finalizes only the user data that lived when it began, so a state whose first
// callback is taken in one of its close's finalizers must have been told apart before.
TEST_F(DeliveryTest, AHandlerSetInAFinalizerOfTheStatesCloseIsNeverCalledAfterIt) {
    std::optional<LuaFixture> closing(std::in_place, &PoisoningAllocator::Allocate, nullptr);
    lua_register(closing->state(), "atclose", &StoreHandlerAtClose);
    ASSERT_EQ(closing->Run("function handler() return 1, 2 end "
                           "keep = newproxy(true) getmetatable(keep).__gc = function() atclose() end"),
              "");
    lua_newuserdata(closing->state(), sizeof(void*));
    kMethodTable[2].function(closing->state());  // IsOrvaneRun, its first script call
    closing.reset();
    ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_ASK, 0, 0);
    ClearSpeedLimitHandler();
    failures.Take();
}

// lua_close finalizes nothing made while it runs finalizers, so a state whose very first call of the
// add-in comes in one of its close's finalizers is never told closed: whatever it handed over would be
// called after it. The state's memory is filled once freed, so touching it faults.
TEST_F(DeliveryTest, AStateWhoseFirstCallComesInAFinalizerOfItsCloseKeepsNoCallback) {
    struct Variant {
        const char* name;
        int method;
        const char* call;
        const char* line;
    } const variants[] = {
        {"handler", 8, "method(newproxy(), handler)", "SetSpeedLimitHandler: state_may_be_closing"},
        {"request", 1, "method(newproxy(), 'name', 'type', handler)", "GetActiveGame: state_may_be_closing"},
    };
    for (const Variant& variant : variants) {
        SCOPED_TRACE(variant.name);
        std::optional<LuaFixture> closing(std::in_place, &PoisoningAllocator::Allocate, nullptr);
        lua_register(closing->state(), "method", kMethodTable[variant.method].function);
        ASSERT_EQ(closing->Run(std::string("function handler() return 1, 2 end "
                                           "keep = newproxy(true) getmetatable(keep).__gc = function() ") +
                               variant.call + " end"),
                  "");
        closing.reset();
        ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_ASK, 0, 0);
        EXPECT_TRUE(PumpUntil([] { return LiveRequests() == 0; }, 30000));
        const std::vector<std::string> lines = failures.Take();
        EXPECT_NE(std::find(lines.begin(), lines.end(), variant.line), lines.end());
    }
}

// A script with the debug library can take out of the registry the sentinel that tells of its state's
// close, put other user data in its place, or take out the add-in's thread, which the collector then
// frees: from then on the state keeps no callback, and what it handed over before is never called,
// neither then nor after its close. Its memory is filled once freed.
TEST_F(DeliveryTest, AStateWhoseSentinelOrThreadAScriptTookAwayKeepsNoCallbackAndCallsNothingAfter) {
    const struct {
        const char* taken;
        const char* replacement;
    } variants[] = {{"userdata", "nil"}, {"userdata", "newproxy()"}, {"thread", "nil"}};
    for (const auto& variant : variants) {
        SCOPED_TRACE(std::string(variant.taken) + " replaced by " + variant.replacement);
        std::optional<LuaFixture> closing(std::in_place, &PoisoningAllocator::Allocate, nullptr);
        lua_register(closing->state(), "SetSpeedLimitHandler", kMethodTable[8].function);
        ASSERT_EQ(closing->Run(std::string("function handler() return 1, 2 end "
                                           "assert(SetSpeedLimitHandler(newproxy(), handler)) "
                                           "local registry = debug.getregistry() "
                                           "for key, value in pairs(registry) do "
                                           "  if type(key) == 'userdata' and type(value) == '") +
                               variant.taken + "' then registry[key] = " + variant.replacement +
                               " end "
                               "end "
                               "collectgarbage() "
                               "again = SetSpeedLimitHandler(newproxy(), handler)"),
                  "");
        EXPECT_EQ(closing->Eval("again"), "false");
        ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_ASK, 0, 0);
        closing.reset();
        ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_ASK, 0, 0);
        ClearSpeedLimitHandler();
        const std::vector<std::string> lines = failures.Take();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "SetSpeedLimitHandler: state_may_be_closing"), lines.end());
    }
}

// Lends memory like PoisoningAllocator, but hands the block freed last of a size to the next
// request of that size, as a heap does: a state made after a close sits where the closed one was.
struct ReusingAllocator {
    std::map<std::size_t, void*> freed;
    static void* Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize) {
        auto& freed = static_cast<ReusingAllocator*>(self)->freed;
        void* fresh = nullptr;
        if (newSize != 0) {
            auto kept = freed.find(newSize);
            if (kept != freed.end()) {
                fresh = kept->second;
                freed.erase(kept);
            } else {
                fresh = std::malloc(newSize);
                if (fresh == nullptr) return newSize <= oldSize ? block : nullptr;
            }
            if (block != nullptr) std::memcpy(fresh, block, std::min(oldSize, newSize));
        }
        if (block != nullptr) {
            std::memset(block, 0xDD, oldSize);
            freed[oldSize] = block;
        }
        return fresh;
    }
};

int IsRunAtClose(lua_State* L) {
    lua_newuserdata(L, sizeof(void*));
    return kMethodTable[2].function(L);  // IsOrvaneRun
}

// A state made where a state that called the add-in was must get a note of its own at its first
// call from there, however that state's last call went: in a finalizer of its state's close after
// the note went, as its state's only call or only calls, in such a finalizer (with a collection
// between them, which finalizes what the close made), or from a coroutine collected while its
// state lives on. Without the note, a handler it sets at its own close is
// called later.
TEST_F(DeliveryTest, AStateMadeWhereACallingStateWasGetsItsOwnNoteAtItsFirstCall) {
    enum class Before {
        CalledAtCloseAfterItsNote,
        OnlyCalledAtClose,
        OnlyCalledTwiceAtClose,
        OnlyCalledAtCloseAroundACollection,
        CoroutineCollected
    };
    for (const Before before :
         {Before::CalledAtCloseAfterItsNote, Before::OnlyCalledAtClose, Before::OnlyCalledTwiceAtClose,
          Before::OnlyCalledAtCloseAroundACollection, Before::CoroutineCollected}) {
        SCOPED_TRACE(static_cast<int>(before));
        ReusingAllocator allocator;
        std::optional<LuaFixture> first(std::in_place, &ReusingAllocator::Allocate, &allocator);
        lua_register(first->state(), "isrun", &IsRunAtClose);
        lua_State* address = first->state();
        if (before == Before::CoroutineCollected) {
            address = lua_newthread(first->state());
            IsRunAtClose(address);
            lua_pop(first->state(), 1);
            lua_gc(first->state(), LUA_GCCOLLECT, 0);
        } else {
            const char* const scripts[] = {
                "keep = newproxy(true) getmetatable(keep).__gc = function() isrun() end isrun()",
                "keep = newproxy(true) getmetatable(keep).__gc = function() isrun() end",
                "keep = newproxy(true) getmetatable(keep).__gc = function() isrun() isrun() end",
                "keep = newproxy(true) getmetatable(keep).__gc = function() isrun() collectgarbage() isrun() end"};
            ASSERT_EQ(first->Run(scripts[static_cast<int>(before)]), "");
            first.reset();
        }
        std::optional<LuaFixture> second(std::in_place, &ReusingAllocator::Allocate, &allocator);
        lua_State* const caller =
            before == Before::CoroutineCollected ? lua_newthread(second->state()) : second->state();
        ASSERT_EQ(caller, address);
        lua_register(second->state(), "atclose", &StoreHandlerAtClose);
        ASSERT_EQ(second->Run("function handler() return 1, 2 end "
                              "keep = newproxy(true) getmetatable(keep).__gc = function() atclose() end"),
                  "");
        IsRunAtClose(caller);  // the second state's first script call
        second.reset();
        ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_ASK, 0, 0);
        ClearSpeedLimitHandler();
        first.reset();
        failures.Take();
    }
}

// A host that restarts its scripts ends the window, closes the state and starts again, with
// requests still queued and under way: their references are deferred in a state that is gone.
// Kept waiting, they would make every later call of every state look for its own among them.
TEST_F(DeliveryTest, ReferencesOfAStateClosedWithRequestsUnderWayLeaveNothingWaiting) {
    constexpr int kRequests = 50;
    const WindowEnd withClose{"WM_CLOSE", true, false, true};
    for (const WindowEnd* end : {&withClose, &kWindowEnds[0], &kWindowEnds[1]}) {
        SCOPED_TRACE(end->name);
        std::optional<LuaFixture> closing(std::in_place, &PoisoningAllocator::Allocate, nullptr);
        ASSERT_EQ(closing->Run("function record() end"), "");
        std::vector<std::unique_ptr<Request>> queued, underWay;
        for (auto* requests : {&queued, &underWay}) {
            for (int i = 0; i < kRequests; ++i) {
                lua_getglobal(closing->state(), "record");
                requests->push_back(std::make_unique<Request>("Test", CallbackRef(TakeCallback(closing->state()))));
            }
        }
        std::thread([&] {
            for (auto& request : queued) Deliver(std::move(request));
        }).join();
        if (end == &withClose) {
            ::SendMessageW(AddinWindow().Handle(), WM_CLOSE, 0, 0);
        } else {
            EndWindowWithoutClose(*end);
        }
        closing.reset();
        CreateMessageWindow();
        std::thread([&] {
            for (auto& request : underWay) Deliver(std::move(request));
        }).join();
        LuaFixture live;
        ASSERT_EQ(live.Run("function record() end"), "");
        lua_getglobal(live.state(), "record");
        const TakenCallback own = TakeCallback(live.state());
        CallbackRef owned(own);
        std::thread([&] { const CallbackRef dropped = std::move(owned); }).join();
        lua_newuserdata(live.state(), sizeof(void*));
        kMethodTable[2].function(live.state());  // IsOrvaneRun
        EXPECT_FALSE(live.RefIsFunction(own.ref)) << "the live state's own reference goes at its next call";
        EXPECT_EQ(StateNote::UnrefsWaiting(), 0u) << "nothing waits, so every later script call takes the fast path";
        EXPECT_EQ(LiveRequests(), 0);
        failures.Take();
    }
}

// Finalizers that run in the next collection step, which the next allocation of the state takes.
void FinalizeAtNextStep(LuaFixture& lua, lua_CFunction finalizer) {
    lua_register(lua.state(), "finalizer", finalizer);
    ASSERT_EQ(lua.Run("collectgarbage('stop') "
                      "for i = 1, 20 do getmetatable(newproxy(true)).__gc = function() finalizer() end end"),
              "");
    // Restarted from here, where nothing allocates before the code under test.
    lua_gc(lua.state(), LUA_GCSETPAUSE, 0);
    lua_gc(lua.state(), LUA_GCSETSTEPMUL, 100000);
    lua_gc(lua.state(), LUA_GCRESTART, 0);
}

std::vector<TakenCallback> g_takenInFinalizer;

int TakeInFinalizer(lua_State* L) {
    lua_getglobal(L, "target");
    g_takenInFinalizer.push_back(TakeCallback(L));
    return 0;
}

// A finalizer run by the collection step that making a state's thread takes enters the state first:
// what it makes stays the state's, so the state has one thread (another would be collected under a
// callback), and since nothing had shown the state running, the finalizer's callbacks are refused.
TEST(StateNote, AFinalizerThatEntersWhileTheStatesThreadIsMadeMakesItAloneAndKeepsNoCallback) {
    LuaFixture lua;  // a state with no thread of the add-in's yet
    ASSERT_EQ(lua.Run("function target() end"), "");
    g_takenInFinalizer.clear();
    FinalizeAtNextStep(lua, &TakeInFinalizer);
    ASSERT_TRUE(g_takenInFinalizer.empty());
    const int top = lua_gettop(lua.state());
    lua_getglobal(lua.state(), "target");
    CallbackRef first(TakeCallback(lua.state()));
    ASSERT_FALSE(g_takenInFinalizer.empty()) << "making the thread took the step";
    for (const TakenCallback& nested : g_takenInFinalizer) {
        EXPECT_EQ(nested.refused, Failure::StateMayBeClosing);
        EXPECT_EQ(nested.state, nullptr);
    }
    lua_getglobal(lua.state(), "target");
    CallbackRef second(TakeCallback(lua.state()));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second.Taken().state, first.Taken().state) << "one thread per state";
    EXPECT_EQ(lua_gettop(lua.state()), top) << "a refused function is popped all the same";
}

// The ways a state's first callback can come, and whether it is kept: not from a finalizer (it may
// be one of the state's own close), nor from a coroutine, which cannot tell whether the main thread
// below it runs one; from the main thread outside one, and from then on from anywhere.
TEST(StateNote, AStateKeepsCallbacksOnceItsMainThreadCalledOutsideAFinalizer) {
    FailureLines failures;
    if (AddinWindow().Handle() == nullptr || !::IsWindow(AddinWindow().Handle())) CreateMessageWindow();
    LuaFixture lua;
    lua_register(lua.state(), "SetSpeedLimitHandler", kMethodTable[8].function);
    ASSERT_EQ(lua.Run("function handler() return 1, 2 end "
                      "function from_coroutine() "
                      "  return select(2, coroutine.resume(coroutine.create(function() "
                      "    return SetSpeedLimitHandler(newproxy(), handler) end))) end "
                      "collectgarbage('stop') "
                      "getmetatable(newproxy(true)).__gc = function() in_finalizer = SetSpeedLimitHandler(newproxy(), "
                      "handler) end"),
              "");
    ASSERT_EQ(lua.Run("collectgarbage('restart') collectgarbage()"), "");
    EXPECT_EQ(lua.Eval("in_finalizer"), "false");
    EXPECT_EQ(lua.Eval("from_coroutine()"), "false");
    EXPECT_EQ(lua.Eval("SetSpeedLimitHandler(newproxy(), handler)"), "true");
    EXPECT_EQ(lua.Eval("from_coroutine()"), "true");
    ASSERT_EQ(lua.Run("getmetatable(newproxy(true)).__gc = function() in_finalizer = SetSpeedLimitHandler(newproxy(), "
                      "handler) end "
                      "collectgarbage()"),
              "");
    EXPECT_EQ(lua.Eval("in_finalizer"), "true") << "a finalizer of a state seen running";
    ClearSpeedLimitHandler();
    EXPECT_EQ(failures.Take(), (std::vector<std::string>{"SetSpeedLimitHandler: state_may_be_closing",
                                                         "SetSpeedLimitHandler: state_may_be_closing"}));
}

// A thread a script puts where the add-in keeps its own, before the state's note is made, is not taken
// for the add-in's: no callback of the state would ever run on a coroutine of the script's.
TEST(StateNote, AThreadAScriptPutsInTheAddinsPlaceIsNeverTakenForIt) {
    FailureLines failures;
    if (AddinWindow().Handle() == nullptr || !::IsWindow(AddinWindow().Handle())) CreateMessageWindow();
    LuaFixture lua;
    lua_register(lua.state(), "SetSpeedLimitHandler", kMethodTable[8].function);
    ASSERT_EQ(lua.Run("function handler() return 1, 2 end "
                      "assert(not select(2, coroutine.resume(coroutine.create(function() "
                      "  return SetSpeedLimitHandler(newproxy(), handler) end)))) "
                      "planted = coroutine.create(function() end) "
                      "local registry = debug.getregistry() "
                      "for key, value in pairs(registry) do "
                      "  if type(key) == 'userdata' and type(value) == 'thread' then registry[key] = planted end "
                      "end"),
              "");
    EXPECT_EQ(lua.Eval("SetSpeedLimitHandler(newproxy(), handler)"), "false");
    ClearSpeedLimitHandler();
    failures.Take();
}

int ClearInFinalizer(lua_State*) {
    ClearSpeedLimitHandler();
    return 0;
}

TEST_F(DeliveryTest, AFinalizerThatClearsTheHandlerWhileItIsClearedUnrefsItOnce) {
    lua_State* L = lua.state();
    lua_getglobal(L, "record");
    StoreSpeedLimitHandler(CallbackRef(TakeCallback(L)));
    FinalizeAtNextStep(lua, &ClearInFinalizer);
    ClearSpeedLimitHandler();
    ASSERT_EQ(lua.Run("collectgarbage('setpause', 200) collectgarbage('setstepmul', 200) collectgarbage()"), "");
    // A reference unreffed twice is handed out twice.
    const int one = lua.RefGlobal("record");
    const int two = lua.RefGlobal("record");
    EXPECT_NE(one, two);
}

TEST_F(DeliveryTest, CallbackWaitingForAnotherAnswerGetsIt) {
    // The common pattern of a script that asks again and serves messages until the second answer came.
    const TakenCallback inner{lua.state(), lua.RefGlobal("record")};
    ASSERT_EQ(lua.Run("function outer(text) outer_text = text end"), "");
    const TakenCallback outer{lua.state(), lua.RefGlobal("outer")};
    QueueFromAnotherThread(outer, "first");
    QueueFromAnotherThread(inner, "second");
    ASSERT_TRUE(PumpUntil([&] { return lua.Eval("#calls") == "1"; }));
    EXPECT_EQ(lua.Eval("outer_text"), "first");
}

TEST(MessageWindow, IsMessageOnlyWithItsNameAndUserData) {
    CreateMessageWindow();
    HWND window = AddinWindow().Handle();
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
    HWND window = AddinWindow().Handle();
    for (UINT message : {0x403u, 0x404u, 0x405u, 0x406u, 0x702u}) {
        EXPECT_EQ(::SendMessageW(window, message, 1, 2), 0) << std::hex << message;
    }
    // WM_GETTEXTLENGTH is not in the table: DefWindowProcW answers with the title's length.
    EXPECT_EQ(::SendMessageW(window, WM_GETTEXTLENGTH, 0, 0), 23);
}

}  // namespace
}  // namespace orvane
