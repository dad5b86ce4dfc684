// The add-in's message window as other programs and the add-in's own threads know it: its name and
// the numbers of the messages it takes. Everything in the bridge that sends or posts uses these, and
// the window procedure dispatches on them.
#pragma once

#include <windows.h>

namespace orvane {

// Class name and title: the tray and setup programs find the window by them.
inline constexpr wchar_t kMessageWindowName[] = L"OrvaneMessageOnlyWindow";
inline constexpr LONG kMessageWindowUserData = 20120302;

// Answers are waiting in the delivery queue. Carries nothing, so that a forged one only delivers what
// was due anyway.
inline constexpr UINT WM_DELIVER_RESULT = WM_USER + 1;
// The same, for senders other than the add-in: nothing of ours sends it.
inline constexpr UINT WM_DELIVER_RESULT_2 = WM_USER + 2;
// From the tray program: limit the download speed, or restore it; answered with WM_SPEED_LIMIT_REPLY.
inline constexpr UINT WM_SPEED_LIMIT_ASK = WM_USER + 3;
inline constexpr UINT WM_SPEED_RESTORE_ASK = WM_USER + 4;
// Both ways: the answer to the tray, and a notice from it the handler is told of.
inline constexpr UINT WM_SPEED_LIMIT_REPLY = WM_USER + 5;
// Both ways: the user changed the limit mode by hand.
inline constexpr UINT WM_SPEED_LIMIT_MANUAL = WM_USER + 6;
// From the setup program: its two status integers in wParam and lParam.
inline constexpr UINT WM_SETUP_STATUS = WM_USER + 0x302;

// The window's one timer: it delivers queued answers, as a delivery message does.
inline constexpr UINT_PTR kDeliveryTimer = 1;
inline constexpr UINT kDeliveryTimerMs = 50;

}  // namespace orvane
