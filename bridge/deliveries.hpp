// Answers on their way to script callbacks. Whoever finishes a request (the network loop) never waits
// for the script thread: it queues the request here, and one thread of the bridge sends each to the
// message window in turn, where the callback runs on the script thread, and then frees it.
#pragma once

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

// Requests taken and not yet answered or dropped; part of the module's reasons not to unload.
long LiveRequests() noexcept;

// Script thread: makes sure the delivery thread runs; false when it cannot be started.
bool StartDeliveryThread() noexcept;

// Any thread, once the delivery thread runs: the delivery thread sends the answer and frees the
// request. Never waits.
void QueueDelivery(Delivery* request) noexcept;

// Script thread, for a request that could not be started: its callback gets the answer all the same,
// later, on the script thread (after the calling method has returned), unless the window is gone.
void DeliverLater(Delivery* request) noexcept;

}  // namespace orvane
