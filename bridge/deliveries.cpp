#include "bridge/deliveries.hpp"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

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
// When the last delivery message went out. One that is never handled (its window destroyed other than
// by WM_CLOSE, or taken off the queue by a host loop without being dispatched) would hold every later
// answer back for good; the message carries nothing, so announcing again costs at most one message
// that finds nothing to deliver. A script thread that is only busy handles none of them either, so
// each unhandled one doubles the wait for the next, up to a minute, and a handled one starts over.
std::atomic<std::uint64_t> g_announcedAt{0};
constexpr DWORD kFirstAnnounceAgainMs = 1000;
constexpr DWORD kLastAnnounceAgainMs = 60000;
std::atomic<DWORD> g_announceAgainMs{kFirstAnnounceAgainMs};
constexpr DWORD kRetryFullQueueMs = 100;

// Requests that can no longer be delivered go at once, answers and all. On the script thread their
// references go too; any other thread may not touch Lua, so there the references wait for the
// script thread's next call into the add-in.
void DropQueued(bool onScriptThread) noexcept {
    while (Delivery* request = g_queue.Pop()) {
        if (onScriptThread) {
            ReleaseCallback(request->callback);
        } else {
            LetGoOfCallback(request->callback);
        }
        delete request;
    }
}

void Announce() noexcept {
    if (g_announced.exchange(true)) return;
    // Posted, never sent: the loop goes on at once, and the script thread takes the answers when it
    // next serves its messages. A null window would make the post a message to this thread.
    HWND window = MessageWindow();
    if (window != nullptr && ::PostMessageW(window, WM_DELIVER_RESULT, 0, 0)) {
        g_announcedAt.store(::GetTickCount64());
        return;
    }
    g_announced.store(false);
    // Gone, or never made: nothing will deliver these. A live window whose queue is full is tried
    // again (AnnounceWaiting).
    if (window == nullptr || !::IsWindow(window)) DropQueued(false);
}

}  // namespace

Delivery::Delivery(CallbackRef taken) noexcept : callback(taken) { ::InterlockedIncrement(&g_liveRequests); }

Delivery::~Delivery() { ::InterlockedDecrement(&g_liveRequests); }

long LiveRequests() noexcept { return g_liveRequests; }

bool DeliveriesOpen() noexcept { return ::IsWindow(MessageWindow()) != FALSE; }

void DropDeliveries() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_announced.store(false);
    DropQueued(true);
}

std::uint32_t AnnounceWaiting() noexcept {
    if (g_queue.Empty()) return INFINITE;
    // Read before the clock, so that a message posted in between makes the age 0, never negative.
    const auto age = [] {
        const std::uint64_t at = g_announcedAt.load();
        const std::uint64_t now = ::GetTickCount64();
        return now > at ? now - at : 0;
    };
    const DWORD again = g_announceAgainMs.load();
    if (g_announced.load() && age() >= again) {
        g_announceAgainMs.store(std::min(2 * again, kLastAnnounceAgainMs));
        g_announced.store(false);
    }
    Announce();
    if (!g_announced.load()) return kRetryFullQueueMs;
    const DWORD wait = g_announceAgainMs.load();
    return static_cast<std::uint32_t>(wait - std::min<std::uint64_t>(age(), wait - 1));
}

void QueueDelivery(Delivery* request) noexcept {
    g_queue.Push(request);
    Announce();
}

void DeliverQueued() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_announced.store(false);
    g_announceAgainMs.store(kFirstAnnounceAgainMs);
    while (Delivery* request = g_queue.Pop()) {
        // A callback before this one may have served messages, and a WM_CLOSE among them ends every
        // delivery, this one included.
        if (!DeliveriesOpen()) {
            g_queue.Push(request);
            return DropDeliveries();
        }
        // A callback that serves messages while it waits for another answer gets it: the rest of the
        // queue is announced before this one runs.
        if (!g_queue.Empty()) Announce();
        CallAndReleaseCallback(request->callback, request->answer.c_str());
        delete request;
    }
}

void DeliverByTimerToo() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // A null window would make this a timer of the thread's, which no window procedure sees.
    HWND window = MessageWindow();
    if (window != nullptr && ::IsWindow(window)) ::SetTimer(window, kDeliveryTimer, kDeliveryTimerMs, nullptr);
}

}  // namespace orvane
