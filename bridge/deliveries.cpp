#include "bridge/deliveries.hpp"

#include <windows.h>

#include <atomic>

#include "bridge/message_window.hpp"
#include "common/script_thread.hpp"
#include "common/small_lock.hpp"

namespace orvane {

// Intrusive, so that queueing never allocates: a request that got this far always reaches the queue.
class DeliveryQueue {
public:
    void Push(Delivery* request) noexcept {
        request->next_ = nullptr;
        SmallLockGuard guard(lock_);
        (tail_ != nullptr ? tail_->next_ : head_) = request;
        tail_ = request;
    }
    Delivery* Pop() noexcept {
        SmallLockGuard guard(lock_);
        Delivery* request = head_;
        if (request != nullptr) {
            head_ = request->next_;
            if (head_ == nullptr) tail_ = nullptr;
        }
        return request;
    }
    bool Empty() noexcept {
        SmallLockGuard guard(lock_);
        return head_ == nullptr;
    }

private:
    SmallLock lock_;
    Delivery* head_ = nullptr;
    Delivery* tail_ = nullptr;
};

namespace {

volatile LONG g_liveRequests = 0;
DeliveryQueue g_queue;
// Whether a delivery message is on its way; cleared by its handling before it takes the first request,
// so a request queued at any moment is either taken by it or announced by a message of its own.
std::atomic<bool> g_announced{false};

// Requests that can no longer be delivered. Their references stay, as after any WM_CLOSE: only the
// script thread may release them, and this may be another thread.
void DropQueued() noexcept {
    while (Delivery* request = g_queue.Pop()) delete request;
}

void Announce() noexcept {
    if (g_announced.exchange(true)) return;
    // Posted, never sent: the loop goes on at once, and the script thread takes the answers when it
    // next serves its messages.
    if (::PostMessageW(MessageWindow(), WM_DELIVER_RESULT, 0, 0)) return;
    g_announced.store(false);
    if (!::IsWindow(MessageWindow())) DropQueued();
}

}  // namespace

Delivery::Delivery(CallbackRef taken) noexcept : callback(taken) { ::InterlockedIncrement(&g_liveRequests); }

Delivery::~Delivery() { ::InterlockedDecrement(&g_liveRequests); }

long LiveRequests() noexcept { return g_liveRequests; }

void DropDeliveries() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_announced.store(false);
    DropQueued();
}

void QueueDelivery(Delivery* request) noexcept {
    g_queue.Push(request);
    Announce();
}

void DeliverQueued() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_announced.store(false);
    while (Delivery* request = g_queue.Pop()) {
        // A callback that serves messages while it waits for another answer gets it: the rest of the
        // queue is announced before this one runs.
        if (!g_queue.Empty()) Announce();
        CallAndReleaseCallback(request->callback, request->answer.c_str());
        delete request;
    }
}

}  // namespace orvane
