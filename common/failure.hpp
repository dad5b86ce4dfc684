// Why a call gave its empty or negative answer. Every failure writes one line for DebugView
// (OutputDebugString), which Wine 8 prints with WINEDEBUG=warn+seh; a call that works writes nothing.
// What scripts get does not change: the cause is for whoever debugs them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

enum class Failure : std::uint8_t {
    // A script call that did not fit its method.
    NoReceiver,             // not called on the object: a dot where a colon belongs, or too few values
    CallbackNotAFunction,   // the last argument of a method that calls back
    // The host.
    NotScriptThread,        // Startup from a thread other than the one that started the add-in first
    // A request that never reached the network.
    WindowClosed,           // after WM_CLOSE no answer can reach a script
    NoMemory,
    LoopUnavailable,        // the exchange loop could not be started or handed the request
    TooManyInFlight,        // as many game-platform exchanges as the add-in allows are under way
    // The network.
    LookupFailed,           // the service's name did not resolve
    SocketFailed,           // no socket, or none the loop can drive
    ConnectFailed,
    SendFailed,
    ReceiveFailed,
    TimedOut,               // the tips reply's ten seconds passed, or a game-platform step's idle limit
    EmptyReply,             // a datagram without a byte
    ConnectionClosed,       // the server closed before its whole reply came
    NoAnswer,               // the reply said there is none
    ReplyTooLong,           // a datagram over 1024 bytes, or an announced body over 16 MiB
    ReplyMalformed,         // an item runs past the body's end
    KeyMissing,             // no "games" item with an answer after it
    OverBudget,             // the answers held at once would pass their budget
    // The timed GET.
    EmptyUrl,
    TooManyLate,            // the host's earlier requests still run past their limits
    ThreadFailed,
    UrlNotCanonical,
    InternetOpenFailed,
    OpenUrlFailed,
    NothingRead,
    LimitPassed,            // the script's time limit passed; the request goes on
    // The speed-limit hand-shake.
    NoTrayWindow,
    NoHandler,              // the tray asked and no handler is set: it is answered 0, 0
    HandlerFailed,          // the handler raised: it is answered 0, 0
    PostFailed,
};

// The cause as the line names it: lower case with underscores, so that a script writer can search
// for it; a name never changes once shipped.
const char* FailureName(Failure cause) noexcept;

// "Orvane: OPERATION: NAME", then " (CODE)" where a system error code tells more, and a line end,
// written into `line` (cut to its size); the length written.
std::size_t FormatFailure(char* line, std::size_t size, const char* operation, Failure cause,
                          std::uint32_t code) noexcept;

// Any thread: writes the line. The add-in allocates nothing for it, so it is tried when memory has
// run out too; the system may then lose the line (OutputDebugStringW makes an ANSI copy on the heap).
void ReportFailure(const char* operation, Failure cause, std::uint32_t code = 0) noexcept;

}  // namespace orvane
