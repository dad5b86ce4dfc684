// Answers on their way to script callbacks. Whoever finishes a request (the network loop) never waits
// for the script thread: it queues the request here and posts the message window a delivery message,
// whose handling on the script thread calls the callbacks of everything queued, in order.
#pragma once

#include <cstdint>
#include <string>

#include "bridge/callback_ref.hpp"

namespace orvane {

// A request between the script call that took its callback and that callback's one call. Network
// exchanges derive from it, so a request is one object from start to end and its queueing needs no
// memory of its own.
class Delivery {
public:
    explicit Delivery(CallbackRef callback) noexcept;
    virtual ~Delivery();
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    CallbackRef callback;
    std::string answer;  // the empty text after any failure

private:
    friend class DeliveryQueue;
    Delivery* next_ = nullptr;
};

// Requests taken and not yet answered; part of the module's reasons not to unload.
long LiveRequests() noexcept;

// Any thread: queues the finished request and makes sure a delivery message is on its way to the
// message window. Never waits. Once the window is gone (WM_CLOSE) nothing is delivered any more.
void QueueDelivery(Delivery* request) noexcept;

// Script thread, once the window is closed: what was queued will never be delivered.
void DropDeliveries() noexcept;

// Whether an answer queued now could still reach a script: the message window lives (no WM_CLOSE).
bool DeliveriesOpen() noexcept;

// Any thread: announces queued answers again if their delivery message could not be posted (a full
// message queue) or has not been handled for a while. Returns how many milliseconds the caller may
// wait before it asks again: INFINITE (0xFFFFFFFF) once nothing waits.
std::uint32_t AnnounceWaiting() noexcept;

// Script thread, on a delivery message: calls each queued callback with its answer and frees its
// request. The message carries nothing: a forged one only delivers what was due anyway.
void DeliverQueued() noexcept;

// Script thread, after it queued an answer itself: the answer's delivery message may never be
// handled (the window's queue full, or a host loop that drops it), and no loop may exist that would
// announce it again. A timer on the window needs no room in its queue, so it delivers too.
void DeliverByTimerToo() noexcept;

}  // namespace orvane
