// Answers on their way to script callbacks. Whoever answers a request (the network loop) never waits
// for the script thread: it hands the request here, which posts the message window a delivery
// message, the wake-up post; its handling on the script thread calls the callbacks of everything
// queued, in order. The bridge alone decides when to post it: a message that could not be posted, or
// was never handled, is posted again by a thread of its own, the wake-up reposter, made with the first
// window.
#pragma once

#include <windows.h>

#include <memory>

#include "bridge/request.hpp"

namespace orvane {

// Script thread, when a message window is made: delivery messages go to the add-in's window
// (bridge/message_window.hpp), and the wake-up reposter starts with the first.
void StartDeliveries() noexcept;

// Whether an answer queued now could still reach a script: the message window lives (no WM_CLOSE).
bool DeliveriesOpen() noexcept;

// Any thread: queues the answered request. Never waits. Once the window is gone, and for a request
// made before the last close of the window, nothing is delivered: the request is freed at once.
void Deliver(std::unique_ptr<Request> request) noexcept;

// Script thread, for a request it answered itself before its method returned: delivered like any,
// and by the window's timer too, which needs no room in the message queue and no other thread.
void DeliverSoon(std::unique_ptr<Request> request) noexcept;

// Script thread, on a delivery message: calls each queued callback with its answer and frees its
// request. The message carries nothing: a forged one only delivers what was due anyway.
void DeliverQueued() noexcept;

// Script thread, once the window is gone, however it went: what was queued will never be delivered.
// Whether the close epoch ended before (StateNote::EndEpoch) or ends after decides whether the
// references go now.
void DropDeliveries() noexcept;

}  // namespace orvane
