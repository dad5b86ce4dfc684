// The speed-limit handler is called on the script state the host owns: what the add-in leaves on
// that stack stays there until the host unwinds, so thousands of tray messages must leave none.
#include <gtest/gtest.h>

#include <charconv>
#include <cstddef>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "bridge/deliveries.hpp"
#include "bridge/message_table.hpp"
#include "bridge/message_window.hpp"
#include "bridge/speed_limit.hpp"
#include "bridge/window_messages.hpp"
#include "failure_lines.hpp"
#include "lua_fixture.hpp"

namespace orvane {
namespace {

using testing::FailureLines;
using testing::LuaFixture;

TEST(SpeedLimitHandler, ThousandsOfMessagesLeaveTheScriptStackAsItWas) {
    if (AddinWindow().Handle() == nullptr || !::IsWindow(AddinWindow().Handle())) CreateMessageWindow();
    ASSERT_TRUE(::IsWindow(AddinWindow().Handle()));
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
        StoreSpeedLimitHandler(CallbackRef(TakenCallback{L, lua.RefGlobal("handler")}));
        for (int round = 0; round < kRounds; ++round) {
            for (UINT message :
                 {WM_SPEED_LIMIT_ASK, WM_SPEED_RESTORE_ASK, WM_SPEED_LIMIT_REPLY, WM_SPEED_LIMIT_MANUAL}) {
                ::SendMessageW(AddinWindow().Handle(), message, 0, 0);
            }
        }
        ClearSpeedLimitHandler();
        EXPECT_EQ(lua.Eval("calls"), std::to_string(4 * kRounds));
        ASSERT_EQ(lua_gettop(L), 2);
        EXPECT_STREQ(lua_tostring(L, 1), "host's own");
        EXPECT_EQ(lua_tointeger(L, 2), 42);
    }
}

HWND g_tray = nullptr;

int CloseTray(lua_State* /*L*/) {
    ::DestroyWindow(g_tray);
    return 0;
}

// The tray window is looked up when the request comes, and the handler runs before the answer is
// posted: a tray program that closes in between gets nothing, and the reason is written.
TEST(SpeedLimitHandler, AnAnswerTheTrayWindowCannotTakeNamesItsCause) {
    if (AddinWindow().Handle() == nullptr || !::IsWindow(AddinWindow().Handle())) CreateMessageWindow();
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &::DefWindowProcW;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kTrayWindowClass;
    ::RegisterClassW(&windowClass);
    // Hidden and top-level, as the tray program's; without a display only a message-only one, which
    // Wine's FindWindowW finds as well.
    g_tray = ::CreateWindowExW(0, kTrayWindowClass, kTrayWindowTitle, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                               windowClass.hInstance, nullptr);
    if (g_tray == nullptr) {
        g_tray = ::CreateWindowExW(0, kTrayWindowClass, kTrayWindowTitle, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   windowClass.hInstance, nullptr);
    }
    ASSERT_NE(g_tray, nullptr);
    ASSERT_EQ(FindTrayWindow(), g_tray);
    LuaFixture lua;
    lua_register(lua.state(), "close_tray", &CloseTray);
    ASSERT_EQ(lua.Run("function handler(code) close_tray() return 5, 7 end"), "");
    StoreSpeedLimitHandler(CallbackRef(TakenCallback{lua.state(), lua.RefGlobal("handler")}));
    FailureLines failures;
    ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_ASK, 0, 0);
    ClearSpeedLimitHandler();
    EXPECT_FALSE(::IsWindow(g_tray));
    EXPECT_EQ(failures.Take(), std::vector<std::string>{"speed-limit request: post_failed (1400)"})
        << "1400: the window handle is no longer valid";
    ::UnregisterClassW(kTrayWindowClass, windowClass.hInstance);
}

// The lines but those that tell how many of an earlier test's were left out.
std::vector<std::string> WithoutCounts(const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (line.find("more left out") == std::string::npos) kept.push_back(line);
    }
    return kept;
}

// How the lines account for one cause's requests: each is written, or counted in a line that says how
// many were left out and comes right before the cause's next written line.
struct Tally {
    int written = 0;
    long long leftOut = 0;
    std::size_t lines = 0;
};

Tally TallyOf(const std::vector<std::string>& lines, const std::string& cause) {
    Tally tally;
    const std::string countHead = cause + ": ";
    const std::string countTail = " more left out";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line == cause) {
            ++tally.written;
            ++tally.lines;
        } else if (line.rfind(countHead, 0) == 0 && line.size() > countHead.size() + countTail.size() &&
                   line.compare(line.size() - countTail.size(), countTail.size(), countTail) == 0) {
            const char* const first = line.data() + countHead.size();
            const char* const last = line.data() + line.size() - countTail.size();
            long long count = 0;
            const std::from_chars_result read = std::from_chars(first, last, count);
            EXPECT_TRUE(read.ec == std::errc{} && read.ptr == last && count > 0) << line;
            EXPECT_TRUE(i + 1 < lines.size() && lines[i + 1] == cause) << line << " comes before its cause's line";
            tally.leftOut += count;
            ++tally.lines;
        }
    }
    return tally;
}

// Any process can post the tray's requests. With no handler and no tray window each one has a line
// for each of two causes, and a debugger-output listener that does not read can hold up every line.
// However slowly the requests come, a cause writes at most one plain line a second, and every
// request is either written or counted once.
TEST(SpeedLimitHandler, RequestsFromAnyProcessWriteTheFirstLineOfEachCauseInASecondThenHowManyWereLeftOut) {
    if (AddinWindow().Handle() == nullptr || !::IsWindow(AddinWindow().Handle())) CreateMessageWindow();
    ClearSpeedLimitHandler();
    ASSERT_EQ(FindTrayWindow(), nullptr);
    HWND window = AddinWindow().Handle();
    FailureLines failures;
    const std::string noHandler = "speed-limit request: no_handler";
    const std::string noTray = "speed-limit request: no_tray_window";
    const std::string restore = "restore request: ";
    // Past any second an earlier test began, whose counts may come first.
    ::Sleep(1100);
    // The clock the add-in's seconds are counted by.
    const ULONGLONG firstAt = ::GetTickCount64();
    ::SendMessageW(window, WM_SPEED_LIMIT_ASK, 0, 0);
    EXPECT_EQ(WithoutCounts(failures.Take()), (std::vector<std::string>{noHandler, noTray}));
    constexpr int kMore = 999;
    for (int i = 0; i < kMore; ++i) ::SendMessageW(window, WM_SPEED_LIMIT_ASK, 0, 0);
    const ULONGLONG secondsSpanned = (::GetTickCount64() - firstAt) / 1000;
    // Another operation's lines are its own.
    ::SendMessageW(window, WM_SPEED_RESTORE_ASK, 0, 0);
    std::vector<std::string> restoreLines;
    std::vector<std::string> loopLines;
    for (std::string& line : failures.Take()) {
        (line.rfind(restore, 0) == 0 ? restoreLines : loopLines).push_back(std::move(line));
    }
    EXPECT_EQ(WithoutCounts(restoreLines),
              (std::vector<std::string>{restore + "no_handler", restore + "no_tray_window"}));
    ::Sleep(1100);
    ::SendMessageW(window, WM_SPEED_LIMIT_ASK, 0, 0);
    // The last request's lines: for each cause, the count no line in the loop told, then its own.
    std::vector<std::string> last;
    for (const std::string& cause : {noHandler, noTray}) {
        SCOPED_TRACE(cause);
        const Tally inLoop = TallyOf(loopLines, cause);
        EXPECT_LE(static_cast<ULONGLONG>(inLoop.written), secondsSpanned);
        const long long leftForLast = kMore - inLoop.written - inLoop.leftOut;
        EXPECT_GE(leftForLast, 0);
        if (leftForLast > 0) last.push_back(cause + ": " + std::to_string(leftForLast) + " more left out");
        last.push_back(cause);
    }
    EXPECT_EQ(TallyOf(loopLines, noHandler).lines + TallyOf(loopLines, noTray).lines, loopLines.size())
        << "no other lines";
    EXPECT_EQ(failures.Take(), last);
}

// Holds each line a write brings (OutputDebugString raises DBG_PRINTEXCEPTION_C with it) for 30 ms, as
// a thread the machine leaves unrun for that long is held.
LONG CALLBACK HoldEachLine(EXCEPTION_POINTERS* exception) {
    constexpr DWORD kDebugPrintException = 0x40010006;
    if (exception->ExceptionRecord->ExceptionCode == kDebugPrintException) ::Sleep(30);
    return EXCEPTION_CONTINUE_SEARCH;
}

// A write that takes its time with nobody listening is a busy machine's doing, which no listener can
// be blamed for: the first line of every operation and cause is still written.
TEST(SpeedLimitHandler, SlowWritesWithNobodyListeningStillWriteTheFirstLineOfEachCause) {
    if (AddinWindow().Handle() == nullptr || !::IsWindow(AddinWindow().Handle())) CreateMessageWindow();
    ClearSpeedLimitHandler();
    ASSERT_EQ(FindTrayWindow(), nullptr);
    FailureLines failures;
    // Past any second in which an earlier case of the same process wrote the same causes.
    ::Sleep(1100);
    void* const slow = ::AddVectoredExceptionHandler(1, &HoldEachLine);
    ASSERT_NE(slow, nullptr);
    ::SendMessageW(AddinWindow().Handle(), WM_SPEED_LIMIT_ASK, 0, 0);
    ::SendMessageW(AddinWindow().Handle(), WM_SPEED_RESTORE_ASK, 0, 0);
    ::RemoveVectoredExceptionHandler(slow);
    EXPECT_EQ(WithoutCounts(failures.Take()),
              (std::vector<std::string>{"speed-limit request: no_handler", "speed-limit request: no_tray_window",
                                        "restore request: no_handler", "restore request: no_tray_window"}));
}

}  // namespace
}  // namespace orvane
