#include "bridge/deliveries.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

#include "bridge/window_messages.hpp"
#include "common/small_lock.hpp"
#include "common/thread_checks.hpp"
#include "common/win_handles.hpp"

namespace orvane {

// Intrusive, so that queueing never allocates: a request that got this far always reaches the queue.
// Never destroyed (see g_queue), so it has no destructor to free its chain.
class DeliveryQueue {
public:
    constexpr DeliveryQueue() noexcept = default;
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    void Push(std::unique_ptr<Request> request) noexcept {
        Request* const last = request.get();
        const std::lock_guard<SmallLock> guard(lock_);
        (tail_ != nullptr ? tail_->next_ : head_) = std::move(request);
        tail_ = last;
    }
    std::unique_ptr<Request> Pop() noexcept {
        const std::lock_guard<SmallLock> guard(lock_);
        std::unique_ptr<Request> request = std::move(head_);
        if (request) {
            head_ = std::move(request->next_);
            if (!head_) tail_ = nullptr;
        }
        return request;
    }
    bool Empty() noexcept {
        const std::lock_guard<SmallLock> guard(lock_);
        return !head_;
    }

private:
    SmallLock lock_;
    std::unique_ptr<Request> head_;
    Request* tail_ = nullptr;
};

namespace {

// Written on the script thread when the window is made; read by any thread that delivers.
std::atomic<HWND> g_window{nullptr};

// The queue is never destroyed: at process exit the system ends the loop and announcer threads
// wherever they are, perhaps holding its lock, and the module's static destructors run after.
// The module unloads earlier only when no request lives, so nothing is left in it then.
union NeverDestroyed {
    constexpr NeverDestroyed() noexcept : queue() {}
    ~NeverDestroyed() {}  // NOLINT(modernize-use-equals-default): = default would destroy the queue
    DeliveryQueue queue;
};
constinit NeverDestroyed g_queueStorage;
DeliveryQueue& g_queue = g_queueStorage.queue;

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

// The announcer: a thread of the bridge's own that announces again what waits. It sleeps for good
// while nothing does, and is woken by the first answer queued then. Made at the first window, so the
// handles a host sees stay the same from Startup on.
std::atomic<HANDLE> g_wakeAnnouncer{nullptr};
std::atomic<bool> g_announcerIdle{false};

// A request that can no longer be delivered goes at once, answer and all. On the script thread its
// reference goes too; any other thread may not touch Lua, and a request from before the last
// WM_CLOSE may belong to a universe the host closed since, so there the reference waits for a call
// of the script thread in its own universe.
void Drop(std::unique_ptr<Request> request, bool onScriptThread) noexcept {
    if (onScriptThread && !request->BeforeLastClose()) {
        ReleaseCallback(request->Callback());
    } else {
        LetGoOfCallback(request->Callback());
    }
    ReportFailure(request->Operation(), Failure::WindowClosed);
}

void DropQueued(bool onScriptThread) noexcept {
    while (std::unique_ptr<Request> request = g_queue.Pop()) Drop(std::move(request), onScriptThread);
}

void Announce() noexcept {
    if (g_announced.exchange(true)) return;
    // Posted, never sent: whoever answered goes on at once, and the script thread takes the answers
    // when it next serves its messages. A null window would make the post a message to this thread.
    HWND window = g_window.load();
    if (window != nullptr && ::PostMessageW(window, WM_DELIVER_RESULT, 0, 0)) {
        g_announcedAt.store(::GetTickCount64());
        return;
    }
    g_announced.store(false);
    // A later Startup's window came meanwhile: it takes them.
    if (window != g_window.load()) return Announce();
    // Gone, or never made: nothing will deliver these. A live window whose queue is full is tried
    // again by the announcer.
    if (window == nullptr || !::IsWindow(window)) DropQueued(false);
}

// Announces queued answers again if their delivery message could not be posted (a full message
// queue) or has not been handled for a while. How many milliseconds until the next look: INFINITE
// once nothing waits.
DWORD AnnounceWaiting() noexcept {
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
    return static_cast<DWORD>(wait - std::min<std::uint64_t>(age(), wait - 1));
}

[[noreturn]] DWORD WINAPI Announcer(LPVOID) {
    for (;;) {
        // Idle before it looks: an answer queued while it looks wakes it at once, never too late.
        g_announcerIdle.store(true);
        const DWORD wait = AnnounceWaiting();
        if (wait != INFINITE) g_announcerIdle.store(false);
        ::WaitForSingleObject(g_wakeAnnouncer.load(), wait);
    }
}

void StartAnnouncer() noexcept {
    UniqueKernelHandle wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!wake) return;
    // Stored before the thread starts, which waits on it at once. The event and the thread stay for
    // the life of the process, as the started module does; without the thread an answer whose
    // message is lost waits for the next one.
    g_wakeAnnouncer.store(wake.release());
    UniqueKernelHandle thread(
        ::CreateThread(nullptr, 64 * 1024, &Announcer, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
}

}  // namespace

void DeliverTo(HWND window) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (g_wakeAnnouncer.load() == nullptr) StartAnnouncer();
    g_window.store(window);
}

HWND DeliveryWindow() noexcept { return g_window.load(); }

bool DeliveriesOpen() noexcept { return ::IsWindow(g_window.load()) != FALSE; }

void Deliver(std::unique_ptr<Request> request) noexcept {
    if (request->BeforeLastClose()) return Drop(std::move(request), false);
    g_queue.Push(std::move(request));
    Announce();
    HANDLE wake = g_wakeAnnouncer.load();
    if (g_announcerIdle.exchange(false) && wake != nullptr) ::SetEvent(wake);
}

void DeliverSoon(std::unique_ptr<Request> request) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    Deliver(std::move(request));
    // A null window would make this a timer of the thread's, which no window procedure sees.
    HWND window = g_window.load();
    if (window != nullptr && ::IsWindow(window)) ::SetTimer(window, kDeliveryTimer, kDeliveryTimerMs, nullptr);
}

void DropDeliveries() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_announced.store(false);
    // Their universe still lives: this is the script thread, handling the close.
    DropQueued(true);
    EndRequestGeneration();
}

void AbandonDeliveries() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // A delivery message on its way went with the window: the next answer announces itself again.
    g_announced.store(false);
    EndRequestGeneration();
    DropQueued(false);
}

void DeliverQueued() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_announced.store(false);
    g_announceAgainMs.store(kFirstAnnounceAgainMs);
    while (std::unique_ptr<Request> request = g_queue.Pop()) {
        // A callback before this one may have served messages, and a WM_CLOSE among them ends every
        // delivery, this one included.
        if (!DeliveriesOpen()) {
            g_queue.Push(std::move(request));
            return DropDeliveries();
        }
        // Queued by a thread that looked just before a WM_CLOSE; a later Startup's window took it.
        if (request->BeforeLastClose()) {
            Drop(std::move(request), true);
            continue;
        }
        // A callback that serves messages while it waits for another answer gets it: the rest of the
        // queue is announced before this one runs.
        if (!g_queue.Empty()) Announce();
        if (!CallAndReleaseCallback(request->Callback(), request->AnswerText().c_str())) {
            ReportFailure(request->Operation(), Failure::NoMemory);
        }
    }
}

}  // namespace orvane
