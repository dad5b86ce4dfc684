#include "bridge/deliveries.hpp"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>

#include "bridge/message_window.hpp"
#include "bridge/window_messages.hpp"
#include "common/fault_points.hpp"
#include "common/never_destroyed.hpp"
#include "common/small_lock.hpp"
#include "common/thread_checks.hpp"
#include "common/win_handles.hpp"

namespace orvane {

// The answers waiting for the script thread, and whether and when their wake-up post went out: the
// network loop queues, the wake-up reposter looks, the script thread takes, each under the one lock.
// Intrusive, so that queueing never allocates: a request that got this far always reaches the queue.
// Never destroyed (see g_queue), so it frees nothing of what it holds.
class DeliveryQueue {
public:
    using RequestList = IntrusiveList<Request, &Request::link_>;

    constexpr DeliveryQueue() noexcept = default;
    ~DeliveryQueue() = default;
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    // Queues the request; the reposter's event when it sleeps for good and must look now, else null.
    HANDLE Push(std::unique_ptr<Request> request) noexcept {
        const SmallLock::Hold guard(lock_);
        waiting_.PushBack(*request.release());  // the queue's until popped
        pushedSinceLook_ = true;
        return std::exchange(reposterIdle_, false) ? wake_ : nullptr;
    }
    std::unique_ptr<Request> Pop() noexcept {
        const SmallLock::Hold guard(lock_);
        return std::unique_ptr<Request>(waiting_.PopFront());
    }
    // Takes off the requests that can never be delivered (Request::Deliverable); the rest keep their
    // places.
    RequestList TakeUndeliverable(std::uint32_t gone) noexcept {
        RequestList taken;
        const SmallLock::Hold guard(lock_);
        for (Request* request = waiting_.First(); request != nullptr;) {
            Request* const later = RequestList::Later(*request);
            if (!request->Deliverable(gone)) {
                waiting_.Remove(*request);
                taken.PushBack(*request);
            }
            request = later;
        }
        return taken;
    }

    // Whether the caller is to post the delivery message: none is on its way, and from now on one is.
    bool Claim() noexcept {
        const SmallLock::Hold guard(lock_);
        return !std::exchange(wakeUpPending_, true);
    }
    // The same, only while answers wait.
    bool ClaimIfWaiting() noexcept {
        const SmallLock::Hold guard(lock_);
        return !waiting_.Empty() && !std::exchange(wakeUpPending_, true);
    }
    // After a claim: whether the message went out.
    void WakeUpPosted(bool posted) noexcept {
        const SmallLock::Hold guard(lock_);
        if (posted) {
            wakeUpPostedAt_ = ::GetTickCount64();
        } else {
            wakeUpPending_ = false;
        }
    }
    // After a claim by another thread than the reposter's: a live window's queue was full. The
    // reposter may be waiting out a minute; woken, it tries again soon.
    void FullQueue() noexcept {
        HANDLE wake = nullptr;
        {
            const SmallLock::Hold guard(lock_);
            wakeUpPending_ = false;
            wake = wake_;
        }
        if (wake != nullptr) ::SetEvent(wake);
    }
    // After a claim: the window is gone, so no post can reach it. What waits is looked at again as
    // after a message that was never handled, with the same growing waits, until a new window comes.
    void Unreachable() noexcept {
        const SmallLock::Hold guard(lock_);
        wakeUpPostedAt_ = ::GetTickCount64();
    }
    // No message is on its way any more: it went with its window.
    void WakeUpLost() noexcept {
        const SmallLock::Hold guard(lock_);
        wakeUpPending_ = false;
    }
    // Script thread, at a delivery message: it is handled, so the next wake-up is posted at once, and a
    // message that is never handled is posted again after the first wait.
    void Delivering() noexcept {
        const SmallLock::Hold guard(lock_);
        wakeUpPending_ = false;
        repostMs_ = kFirstRepostMs;
    }

    // The reposter's event, once it runs. Script thread.
    bool HasWakeUpReposter() noexcept {
        const SmallLock::Hold guard(lock_);
        return wake_ != nullptr;
    }
    void SetWakeUpReposter(HANDLE wake) noexcept {
        const SmallLock::Hold guard(lock_);
        wake_ = wake;
    }

    // The reposter's look at the time now. A delivery message that is never handled (its window
    // destroyed other than by WM_CLOSE, or taken off the queue by a host loop without being
    // dispatched) would hold every later answer back for good; the message carries nothing, so
    // posting it again costs at most one message that finds nothing to deliver. A script thread that
    // is only busy handles none of them either, so each unhandled one doubles the wait for the next, up
    // to a minute, and a handled one starts over. Whether to post again now, and otherwise how long
    // until the next look: INFINITE once nothing has waited for a whole wait, and then a push wakes
    // the reposter. While answers keep coming it looks on its own, once a wait, so that the loop
    // thread answering them need not wake it for each: an answer delivered before the reposter
    // looked would otherwise find it asleep again.
    struct Look {
        bool repost;
        DWORD waitMs;
    };
    Look LookAt(std::uint64_t now) noexcept {
        const SmallLock::Hold guard(lock_);
        const bool pushed = std::exchange(pushedSinceLook_, false);
        if (waiting_.Empty()) {
            if (pushed) return {false, kFirstRepostMs};
            reposterIdle_ = true;
            return {false, INFINITE};
        }
        if (wakeUpPending_ && Age(now) >= repostMs_) {
            repostMs_ = std::min(2 * repostMs_, kLastRepostMs);
            wakeUpPending_ = false;
        }
        if (!std::exchange(wakeUpPending_, true)) return {true, 0};
        return {false, UntilRepost(now)};
    }
    // After the reposter's own post: a live window whose queue is full is tried again soon.
    DWORD UntilNextLook(std::uint64_t now) noexcept {
        const SmallLock::Hold guard(lock_);
        return wakeUpPending_ ? UntilRepost(now) : kRetryFullQueueMs;
    }

private:
    static constexpr DWORD kFirstRepostMs = 1000;
    static constexpr DWORD kLastRepostMs = 60000;
    static constexpr DWORD kRetryFullQueueMs = 100;

    // A message posted after the clock was read makes the age 0, never negative.
    std::uint64_t Age(std::uint64_t now) const noexcept ORVANE_REQUIRES(lock_) {
        return now > wakeUpPostedAt_ ? now - wakeUpPostedAt_ : 0;
    }
    DWORD UntilRepost(std::uint64_t now) const noexcept ORVANE_REQUIRES(lock_) {
        return static_cast<DWORD>(repostMs_ - std::min<std::uint64_t>(Age(now), repostMs_ - 1));
    }

    SmallLock lock_;
    RequestList waiting_ ORVANE_GUARDED_BY(lock_);
    // Whether a wake-up post (a delivery message) is on its way; cleared by its handling before it
    // takes the first request, so a request queued at any moment is either taken by it or wakes the
    // script thread by a message of its own.
    bool wakeUpPending_ ORVANE_GUARDED_BY(lock_) = false;
    std::uint64_t wakeUpPostedAt_ ORVANE_GUARDED_BY(lock_) = 0;  // when the last one went out
    DWORD repostMs_ ORVANE_GUARDED_BY(lock_) = kFirstRepostMs;
    // The wake-up reposter: a thread of the bridge's own that posts the wake-up again while answers
    // wait. It sleeps for good while none does, and is woken by the first answer queued then.
    HANDLE wake_ ORVANE_GUARDED_BY(lock_) = nullptr;
    bool reposterIdle_ ORVANE_GUARDED_BY(lock_) = false;
    bool pushedSinceLook_ ORVANE_GUARDED_BY(lock_) = false;
};

namespace {

// Never destroyed: at process exit the loop and reposter threads may be ended holding its lock. The
// module unloads earlier only when no request lives, so nothing is left in it then.
constinit NeverDestroyed<DeliveryQueue> g_queueStorage;
constinit DeliveryQueue& g_queue = g_queueStorage.Get();

// A request that can no longer be delivered goes at once, answer and all; its callback decides itself
// whether its reference can go now or only be deferred. Its lines are written by `report`: directly
// on the script thread, through the writer of later lines (common/failure.hpp) on any other.
void Drop(std::unique_ptr<Request> request, Request::Reporter report) noexcept {
    const char* operation = request->Operation();
    request->ReportFailed(report);
    request.reset();
    report(operation, Failure::WindowClosed, 0);
}

void DropQueued() noexcept {
    while (std::unique_ptr<Request> request = g_queue.Pop()) Drop(std::move(request), &ReportFailure);
}

// Requests that can never be delivered, taken off the queue by any thread: freed at once.
void DropUndeliverable(std::uint32_t goneWindow) noexcept {
    DeliveryQueue::RequestList undeliverable = g_queue.TakeUndeliverable(goneWindow);
    while (Request* request = undeliverable.PopFront()) Drop(std::unique_ptr<Request>(request), &ReportFailureLater);
}

// Posts the delivery message once the queue said that none was on its way (claimed).
void PostWakeUp(bool claimed, bool byReposter = false) noexcept {
    while (claimed) {
        // Posted, never sent: whoever answered goes on at once, and the script thread takes the
        // answers when it next serves its messages. A null window would make the post a message to
        // this thread. Counted first: the window read is that one or a newer one.
        const std::uint32_t made = AddinWindow().Made();
        HWND window = AddinWindow().Handle();
        if (window != nullptr && !FaultHere(FaultKind::PostMessage) &&
            ::PostMessageW(window, WM_DELIVER_RESULT, 0, 0)) {
            return g_queue.WakeUpPosted(true);
        }
        // A live window whose queue is full: the reposter tries again soon.
        if (window != nullptr && ::IsWindow(window))
            return byReposter ? g_queue.WakeUpPosted(false) : g_queue.FullQueue();
        // A later Startup's window came meanwhile: it takes them.
        if (window != AddinWindow().Handle()) {
            g_queue.WakeUpPosted(false);
            claimed = g_queue.Claim();
            continue;
        }
        // Gone, or never made: what was asked while it, or an older one, was the newest is dropped.
        // A request asked since a newer window came is never dropped for the old one's sake; it
        // waits for that window, whose making posts its wake-up, and is looked at again meanwhile.
        g_queue.Unreachable();
        return DropUndeliverable(made);
    }
}

// Posts the wake-up for queued answers again if their delivery message could not be posted (a full
// message queue) or has not been handled for a while.
[[noreturn]] DWORD WINAPI WakeUpReposter(LPVOID wake) {
    for (;;) {
        const DeliveryQueue::Look look = g_queue.LookAt(::GetTickCount64());
        DWORD wait = look.waitMs;
        if (look.repost) {
            PostWakeUp(true, true);
            wait = g_queue.UntilNextLook(::GetTickCount64());
        }
        ::WaitForSingleObject(static_cast<HANDLE>(wake), wait);
    }
}

// Made at the first window, so the handles a host sees stay the same from Startup on.
void StartWakeUpReposter() noexcept {
    UniqueKernelHandle wake(FaultHere(FaultKind::Event) ? nullptr : ::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!wake) return;
    // Given to the queue before the thread starts, so that an answer queued while the reposter takes
    // its first look wakes it. The event and the thread stay for the life of the process, as the
    // started module does; without the thread an answer whose message is lost waits for the next one.
    HANDLE event = wake.release();
    g_queue.SetWakeUpReposter(event);
    UniqueKernelHandle thread(FaultHere(FaultKind::Thread)
                                  ? nullptr
                                  : ::CreateThread(nullptr, std::size_t{64} * 1024, &WakeUpReposter, event,
                                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
}

}  // namespace

void StartDeliveries() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (!g_queue.HasWakeUpReposter()) {
        StartWakeUpReposter();
        StartLaterLines();
    }
    // A message posted to the window before, or none at all while it was gone: the new window is told
    // at once of what waits for it.
    g_queue.WakeUpLost();
    DropUndeliverable(0);
    PostWakeUp(g_queue.ClaimIfWaiting());
}

bool DeliveriesOpen() noexcept { return AddinWindow().Open(); }

namespace {
void Queue(std::unique_ptr<Request> request, Request::Reporter report) noexcept {
    if (!request->Deliverable()) return Drop(std::move(request), report);
    HANDLE wake = g_queue.Push(std::move(request));
    PostWakeUp(g_queue.Claim());
    if (wake != nullptr) ::SetEvent(wake);
}
}  // namespace

void Deliver(std::unique_ptr<Request> request) noexcept { Queue(std::move(request), &ReportFailureLater); }

void DeliverSoon(std::unique_ptr<Request> request) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    Queue(std::move(request), &ReportFailure);
    // A null window would make this a timer of the thread's, which no window procedure sees.
    HWND window = AddinWindow().Handle();
    if (window != nullptr && ::IsWindow(window)) ::SetTimer(window, kDeliveryTimer, kDeliveryTimerMs, nullptr);
}

void DropDeliveries() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // A delivery message on its way went with the window: the next answer posts its own wake-up.
    g_queue.WakeUpLost();
    DropQueued();
}

void DeliverQueued() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_queue.Delivering();
    while (std::unique_ptr<Request> request = g_queue.Pop()) {
        // A callback before this one may have served messages, and a WM_CLOSE among them ends every
        // delivery, this one included.
        if (!DeliveriesOpen()) {
            // Put back only to go with the rest; a reposter that looked at the queue just emptied
            // sleeps for good unless woken, and would never look again.
            if (HANDLE wake = g_queue.Push(std::move(request))) ::SetEvent(wake);
            return DropDeliveries();
        }
        // Queued by a thread that looked just before a window's end, a later Startup's window took it;
        // or its Lua state is closed.
        if (!request->Deliverable() || !request->StateLives()) {
            Drop(std::move(request), &ReportFailure);
            continue;
        }
        // A callback that serves messages while it waits for another answer gets it: the rest of the
        // queue gets its wake-up posted before this one runs.
        PostWakeUp(g_queue.ClaimIfWaiting());
        request->ReportFailed(&ReportFailure);
        if (!request->CallBack()) ReportFailure(request->Operation(), Failure::NoMemory);
    }
}

}  // namespace orvane
