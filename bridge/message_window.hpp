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

// The window's one timer: it delivers queued answers, as a delivery message does.
inline constexpr UINT_PTR kDeliveryTimer = 1;
inline constexpr UINT kDeliveryTimerMs = 50;

// Registers the class (once per process) and creates a window on the calling thread, which must be
// the script thread; the newest window is the one results are sent to.
void CreateMessageWindow();
HWND MessageWindow() noexcept;


}  // namespace orvane
