#include "bridge/message_table.hpp"

#include "bridge/deliveries.hpp"
#include "bridge/message_window.hpp"
#include "bridge/setup_status.hpp"
#include "bridge/speed_limit.hpp"
#include "bridge/state_note.hpp"
#include "bridge/window_messages.hpp"
#include "common/thread_checks.hpp"
#include "runtime/optional_entries.hpp"

namespace orvane {
namespace {

// Whether the window answers go to was closed by WM_CLOSE, whose handling unreffed everything its
// Lua states held while they surely lived. Only WM_CLOSE sets it: any process can post the other
// messages. Script thread only.
bool g_closeSeen = false;

// What was queued for the scripts and the speed-limit handler go. At WM_CLOSE the host's Lua states
// surely live, so their references are unreffed now, and only then does the close epoch end, after
// which the host may close a state at any time.
void UnrefAllThenEndEpoch() {
    DropDeliveries();
    ClearSpeedLimitHandler();
    StateNote::EndEpoch();
}

// The same where the window went without a close: the host may have closed their states with it, so
// the epoch ends first, and the unrefs are only deferred, to be done should a script of their
// state call again. Seen twice (a forged WM_DESTROY, then the real one), it only ends an epoch again.
void EndEpochThenDeferAll() {
    StateNote::EndEpoch();
    DropDeliveries();
    ClearSpeedLimitHandler();
}

LRESULT MessageTable(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            // Whichever window gets it, the newest one closes: it is the one answers go to, and closing
            // it is how a host stops every callback; nothing relies on the older windows going. The
            // add-in's window keeps naming the destroyed one, so later posts fail instead of reaching
            // another, and no answer, queued or still to come, reaches a script any more. Seen before
            // the window goes, so that its WM_DESTROY leaves the rest to this close.
            g_closeSeen = true;
            AddinWindow().Destroy();
            UnrefAllThenEndEpoch();
            return 0;
        case WM_DESTROY:
            // The host destroyed the window without closing it (DestroyWindow, or a host that frees
            // the add-in): an older window's going changes nothing. A forged one costs what a forged
            // WM_CLOSE costs, and the next Startup still treats the window as gone without a close.
            if (window == AddinWindow().Handle() && !g_closeSeen) EndEpochThenDeferAll();
            return 0;
        case WM_DELIVER_RESULT:
        case WM_DELIVER_RESULT_2:
            // The parameters are never read: other processes can send these numbers with anything.
            DeliverQueued();
            return 0;
        case WM_TIMER:
            if (wParam != kDeliveryTimer) return ::DefWindowProcW(window, message, wParam, lParam);
            // Once is enough; forged, it only delivers what was due anyway.
            ::KillTimer(window, kDeliveryTimer);
            DeliverQueued();
            return 0;
        case WM_SPEED_LIMIT_ASK: AnswerSpeedLimitRequest(SpeedLimitCode::Limit); return 0;
        case WM_SPEED_RESTORE_ASK: AnswerSpeedLimitRequest(SpeedLimitCode::Restore); return 0;
        case WM_SPEED_LIMIT_REPLY: NotifySpeedLimitHandler(SpeedLimitCode::Reply); return 0;
        case WM_SPEED_LIMIT_MANUAL: NotifySpeedLimitHandler(SpeedLimitCode::Manual); return 0;
        case WM_SETUP_STATUS:
            StoreSetupStatus(static_cast<std::int32_t>(wParam), static_cast<std::int32_t>(lParam));
            return 0;
        default: return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

void CreateMessageWindow() {
    ORVANE_SCRIPT_THREAD_ONLY();
    // A window destroyed as its thread ended runs no procedure of ours: its end is seen only now. One
    // that still lives may belong to a Lua state the host has closed since, which only the state's own
    // note tells (bridge/state_note.hpp); where no note can be kept, the new Startup is taken as the
    // old states' end.
    HWND previous = AddinWindow().Handle();
    if (previous != nullptr && !g_closeSeen && (!::IsWindow(previous) || !RuntimeOptionalEntries().CanKeepNotes())) {
        EndEpochThenDeferAll();
    }
    AddinWindow().Create(&MessageTable);
    g_closeSeen = false;
    StartDeliveries();
}

}  // namespace orvane
