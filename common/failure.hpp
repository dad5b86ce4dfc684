// Why a call gave its empty or negative answer. Every failure writes one line for DebugView
// (OutputDebugString), which Wine 8 prints with WINEDEBUG=warn+seh; a call that works writes nothing.
// What scripts get does not change: the cause is for whoever debugs them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

enum class Failure : std::uint8_t {
    // A script call that did not fit its method.
    NoReceiver,            // not called on the object: a dot where a colon belongs, or too few values
    CallbackNotAFunction,  // the last argument of a method that calls back
    StateMayBeClosing,     // a callback from a Lua state not yet seen running outside a finalizer
    // The host.
    NotScriptThread,  // Startup or a method from a thread other than the one that started the add-in first
    // A request that never reached the network.
    WindowClosed,  // after WM_CLOSE no answer can reach a script
    NoMemory,
    LoopUnavailable,  // the exchange loop could not be started or handed the request
    TooManyInFlight,  // as many game-platform exchanges as the add-in allows are under way
    // The network.
    LookupFailed,  // the service's name did not resolve
    SocketFailed,  // no socket, or none the loop can drive
    ConnectFailed,
    SendFailed,
    ReceiveFailed,
    TimedOut,          // the tips reply's ten seconds passed, or a game-platform step's idle limit
    EmptyReply,        // a datagram without a byte
    ConnectionClosed,  // the server closed before its whole reply came
    NoAnswer,          // the reply said there is none
    ReplyTooLong,      // a datagram over 1024 bytes, or a declared body over 16 MiB
    ReplyMalformed,    // an item runs past the body's end
    KeyMissing,        // no "games" item with an answer after it
    OverBudget,        // the answers held at once would pass their budget
    // The timed GET.
    EmptyUrl,
    TooManyLate,  // the host's earlier requests still run past their limits
    ThreadFailed,
    UrlNotCanonical,
    InternetOpenFailed,
    OpenUrlFailed,
    NothingRead,
    LimitPassed,  // the script's time limit passed; the request goes on
    // The speed-limit hand-shake.
    NoTrayWindow,
    NoHandler,      // the tray asked and no handler is set: it is answered 0, 0
    HandlerFailed,  // the handler raised: it is answered 0, 0
    PostFailed,
};

// The cause as the line names it: lower case with underscores, so that a script writer can search
// for it; a name never changes once shipped.
const char* FailureName(Failure cause) noexcept;

// "Orvane: OPERATION: NAME", then " (CODE)" where a system error code tells more, and a line end,
// written into `line` (cut to its size); the length written.
std::size_t FormatFailure(char* line, std::size_t size, const char* operation, Failure cause,
                          std::uint32_t code) noexcept;

// "Orvane: OPERATION: NAME: COUNT more left out", and a line end: the lines of that operation and
// cause a FailureLimiter did not write.
std::size_t FormatLeftOut(char* line, std::size_t size, const char* operation, Failure cause,
                          std::uint32_t count) noexcept;

// Which lines to write of those another process can cause as fast as it posts messages: of each
// operation and cause, the first in a second; those after it within that second are counted, and the
// count goes out just before the next line of theirs that comes once the second has passed. So each
// operation and cause costs at most two lines a second, however many messages come.
class FailureLimiter {
public:
    struct Verdict {
        bool write = false;
        std::uint32_t leftOut = 0;  // lines left out before this one, to be told first; 0: none
    };
    static constexpr std::uint64_t kPeriodMs = 1000;

    // Writes that took this long or more within one period were held up by a listener, which is
    // likely to hold them up again: every line then stays quiet for kQuietPerSlowMs times as long as
    // they took, up to kLongestQuietMs. So however often messages come, writes that a listener holds
    // up take about a twentieth of the thread's time, short ones under kSlowWriteMs a period besides;
    // only a single write held for longer than a twentieth of the longest quiet (a debugger's pause,
    // say) takes more.
    static constexpr std::uint64_t kSlowWriteMs = 20;
    static constexpr std::uint64_t kQuietPerSlowMs = 20;
    static constexpr std::uint64_t kLongestQuietMs = std::uint64_t{10} * 60 * 1000;

    // The operation is compared by its text. Beyond the few operations and causes a message can
    // bring, a new one is left out uncounted. While quiet after a slow write, every line is left out
    // and counted.
    Verdict Admit(const char* operation, Failure cause, std::uint64_t nowMs) noexcept;
    // The admitted lines' writes ran from startMs to endMs.
    void Wrote(std::uint64_t startMs, std::uint64_t endMs) noexcept;

private:
    struct Entry {
        const char* operation;
        Failure cause;
        std::uint64_t since;
        std::uint32_t leftOut;
    };
    static constexpr std::uint64_t kNever = UINT64_MAX;  // a cause not written yet
    Entry entries_[16] = {};
    std::size_t used_ = 0;
    std::uint64_t quietUntil_ = 0;
    std::uint64_t windowStart_ = 0;  // the period the write times below add up in
    std::uint64_t windowTook_ = 0;
};

// The lines of threads that must never wait for a listener, until a writer of their own takes them: at
// most kCapacity at once. Lines that find it full are counted, under the first of them, and the count
// is told once the writer has taken every line queued.
class LineQueue {
public:
    static constexpr std::size_t kCapacity = 64;
    struct Line {
        const char* operation = nullptr;
        Failure cause = Failure::NoMemory;
        std::uint32_t code = 0;  // for a line left out: how many
        bool leftOut = false;    // a count of lines left out, not a line
    };

    // False when it had no room, and the line is only counted.
    bool Push(const char* operation, Failure cause, std::uint32_t code) noexcept;
    // The oldest line, or the count of those left out once every older line is taken; false when
    // there is nothing.
    bool Pop(Line& line) noexcept;

private:
    Line lines_[kCapacity] = {};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    Line lost_ = {nullptr, Failure::NoMemory, 0, true};  // code: how many
};

// Any thread: writes the line. The add-in allocates nothing for it, so it is tried when memory has
// run out too; the system may then lose the line (OutputDebugStringW makes an ANSI copy on the heap).
// A debugger-output listener that is attached but not reading holds each line up, for seconds.
void ReportFailure(const char* operation, Failure cause, std::uint32_t code = 0) noexcept;

// Any thread that must never wait for a listener (the network loop, the wake-up reposter): the line
// goes to a writer thread of the add-in's (LineQueue above); without one it is lost.
void ReportFailureLater(const char* operation, Failure cause, std::uint32_t code = 0) noexcept;

// Script thread, with the first window: makes that writer, so that the handles a host sees stay the
// same from Startup on.
void StartLaterLines() noexcept;

// Waits until the writer has written what was handed to it before the call, up to timeoutMs; false
// when it has not. For tests, which read the lines where other threads caused them.
bool WaitForLaterLines(std::uint32_t timeoutMs) noexcept;

// Script thread, for a failure that a message from another process caused: written as the limiter
// above lets it. Any process can post such messages, and a debugger-output listener that is attached
// but not reading can hold each line up for seconds, the host's UI thread with it. Only writes that a
// debugger or a reader of the debug-output buffer could have held up count as slow.
void ReportFailureAtMostEachSecond(const char* operation, Failure cause, std::uint32_t code = 0) noexcept;

}  // namespace orvane
