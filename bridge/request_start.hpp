// When a script request starts and when it is refused, for every method that takes a callback. Beside
// Request rather than in it, since the rules ask the deliveries, which queue requests.
#pragma once

#include <memory>

#include "bridge/callback_ref.hpp"
#include "bridge/request.hpp"
#include "common/failure.hpp"

namespace orvane {

// Script thread: the request of a method call that took a callback, or none when nothing could ever
// deliver its answer (the window is closed: window_closed) or its record cannot be made (no_memory).
// Then the cause is written, and the callback goes with the call that took it: a script that goes on
// asking after WM_CLOSE must not fill the registry.
std::unique_ptr<Request> StartRequest(const char* operation, CallbackRef callback) noexcept;

// Script thread: a request that cannot go on (too many in flight, or the loop cannot take it) ends
// with the cause, its callback called with the empty text from the script thread's messages once the
// method has returned, never inside it. Nothing for no request.
void RefuseRequest(std::unique_ptr<Request> request, Failure cause) noexcept;

}  // namespace orvane
