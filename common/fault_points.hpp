// Where a build for tests makes a call fail on demand, so that every failure path can be run in turn
// (tests/failure_paths.cmake): the Nth point of the armed kind reached after arming fails as the call
// itself would, with the error the system gives when it has no resources. The shipped module has
// none of it: FaultHere is a constant false there, and what it guards compiles away.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

enum class FaultKind : std::uint8_t {
    Allocation,       // operator new, and so new (std::nothrow) too
    AnswerBuffer,     // the buffer of an answer, and its growth
    Socket,           // a socket of an exchange or a report
    Bind,             // a game-platform socket's local address
    PortAssociation,  // a socket joining the loop's completion port
    ConnectEx,        // connecting, with the request
    Receive,          // WSARecv and WSARecvFrom
    Send,             // a tips datagram, asked or reported
    PostMessage,      // a delivery message, and the tray's answers
    Thread,           // the loop, the wake-up reposter, the line writer, workers
    Event,            // events, and the loop's completion port
    LookupWorker,     // the worker that asks the resolver for a service's address
    RegistryRef,      // luaL_ref, which Lua may fail by raising its memory error
};
inline constexpr std::size_t kFaultKinds = 13;

#if defined(ORVANE_FAULT_POINTS)
bool FaultHere(FaultKind kind) noexcept;
#else
[[gnu::always_inline]] constexpr bool FaultHere(FaultKind /*kind*/) noexcept { return false; }
#endif

}  // namespace orvane
