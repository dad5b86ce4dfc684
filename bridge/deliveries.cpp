#include "bridge/deliveries.hpp"

#include <windows.h>

#include "bridge/message_window.hpp"
#include "common/small_lock.hpp"
#include "common/win_handles.hpp"

namespace orvane {

// Intrusive, so that queueing never allocates: a request that got this far always reaches the window.
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
    // Everything queued so far, in order, leaving the queue empty.
    Delivery* TakeAll() noexcept {
        SmallLockGuard guard(lock_);
        Delivery* all = head_;
        head_ = tail_ = nullptr;
        return all;
    }
    static Delivery* Next(Delivery* request) noexcept { return request->next_; }

private:
    SmallLock lock_;
    Delivery* head_ = nullptr;
    Delivery* tail_ = nullptr;
};

namespace {

volatile LONG g_liveRequests = 0;

DeliveryQueue g_queue;
// Counts the queued requests; the delivery thread sleeps on it. Made once, kept for the process's life.
HANDLE g_queued = nullptr;

// Requests that could not be started, waiting for the script thread to come back to its messages.
DeliveryQueue g_later;
constexpr UINT_PTR kLaterTimer = 0x4F52;  // any number: the timer is the window's own

DWORD WINAPI DeliveryThread(LPVOID /*unused*/) {
    for (;;) {
        ::WaitForSingleObject(g_queued, INFINITE);
        Delivery* request = g_queue.Pop();
        if (request == nullptr) continue;
        try {
            // Returns once the callback has run, or at once when the window is gone.
            DeliverToScript(request->callback, request->answer);
        } catch (...) {
            // Out of memory for the pending record: the reference can only be released on the script
            // thread, so an undeliverable answer leaves it.
        }
        delete request;
    }
}

void CALLBACK DeliverLaterNow(HWND window, UINT /*message*/, UINT_PTR timer, DWORD /*time*/) {
    ::KillTimer(window, timer);
    // Callbacks may start more requests that cannot start: those wait for a timer of their own.
    Delivery* request = g_later.TakeAll();
    while (request != nullptr) {
        Delivery* next = DeliveryQueue::Next(request);
        CallAndReleaseCallback(request->callback, request->answer.c_str());
        delete request;
        request = next;
    }
}

}  // namespace

Delivery::Delivery(CallbackRef taken) noexcept : callback(taken) { ::InterlockedIncrement(&g_liveRequests); }

Delivery::~Delivery() { ::InterlockedDecrement(&g_liveRequests); }

long LiveRequests() noexcept { return g_liveRequests; }

bool StartDeliveryThread() noexcept {
    // Only the script thread starts requests, so only it gets here; once running, the thread stays.
    if (g_queued != nullptr) return true;
    HANDLE queued = ::CreateSemaphoreW(nullptr, 0, MAXLONG, nullptr);
    if (queued == nullptr) return false;
    g_queued = queued;
    unique_kernel_handle thread(::CreateThread(nullptr, 64 * 1024, &DeliveryThread, nullptr,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
        g_queued = nullptr;
        ::CloseHandle(queued);
        return false;
    }
    return true;
}

void QueueDelivery(Delivery* request) noexcept {
    g_queue.Push(request);
    ::ReleaseSemaphore(g_queued, 1, nullptr);
}

void DeliverLater(Delivery* request) noexcept {
    // A timer of the window's own thread: it fires once this thread serves its messages again, and no
    // other process can see it, as it could a message of ours.
    g_later.Push(request);
    if (::SetTimer(MessageWindow(), kLaterTimer, 0, &DeliverLaterNow) != 0) return;
    // No window: no callback can come any more, as for any answer after WM_CLOSE.
    Delivery* waiting = g_later.TakeAll();
    while (waiting != nullptr) {
        Delivery* next = DeliveryQueue::Next(waiting);
        ReleaseCallback(waiting->callback);
        delete waiting;
        waiting = next;
    }
}

}  // namespace orvane
