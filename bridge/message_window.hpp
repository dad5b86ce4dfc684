// The hidden message-only window: worker results come back to the script thread through it, and the
// tray and setup programs notify the add-in through it.
#pragma once

#include <windows.h>

#include <string>

#include "bridge/callback_ref.hpp"

namespace orvane {

inline constexpr wchar_t kMessageWindowName[] = L"OrvaneMessageOnlyWindow";
inline constexpr LONG kMessageWindowUserData = 20120302;

inline constexpr UINT WM_DELIVER_RESULT = WM_USER + 1;
inline constexpr UINT WM_DELIVER_RESULT_2 = WM_USER + 2;
inline constexpr UINT WM_SPEED_LIMIT_ASK = WM_USER + 3;
inline constexpr UINT WM_SPEED_RESTORE_ASK = WM_USER + 4;
inline constexpr UINT WM_SPEED_LIMIT_REPLY = WM_USER + 5;
inline constexpr UINT WM_SPEED_LIMIT_MANUAL = WM_USER + 6;
inline constexpr UINT WM_SETUP_STATUS = WM_USER + 0x302;

// Registers the class (once per process) and creates a window on the calling thread, which must be
// the script thread; the newest window is the one results are sent to.
void CreateMessageWindow();
HWND MessageWindow() noexcept;

LRESULT SendToMessageWindow(UINT message, WPARAM wParam, LPARAM lParam);

// Worker side of a delivery: calls the callback with the result (cut at its first zero byte) on the
// script thread and releases the callback's reference there. Blocks until that has happened; false
// when no window took the message, in which case the callback is never called.
bool DeliverToScript(const CallbackRef& callback, const std::string& result, UINT message = WM_DELIVER_RESULT);

// Deliveries a worker is in the middle of sending; zero whenever no worker is delivering.
std::size_t PendingDeliveryCount();

}  // namespace orvane
