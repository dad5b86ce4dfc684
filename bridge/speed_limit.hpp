// The speed-limit hand-shake between the tray program and the script's handler.
#pragma once

#include <windows.h>

#include "bridge/callback_ref.hpp"

namespace orvane {

inline constexpr wchar_t kTrayWindowClass[] = L"VemoOrvaneTrayNotifyWindow";
inline constexpr wchar_t kTrayWindowTitle[] = L"VemoOrvaneTrayNotifyWindow-9CCB8747-9EE7-4945-A656-FD1E6852B648";

// The code the handler is called with tells it which message came.
enum class SpeedLimitCode : int { Restore = 0, Limit = 1, Reply = 2, Manual = 3 };

bool StoreSpeedLimitHandler(CallbackRef handler);
// Empties the slot; after a close of the window the reference's unref is only deferred.
bool ClearSpeedLimitHandler();
bool PostManualModeChange();

// 0x403 and 0x404: call the handler and post its two integers to the tray window as 0x405.
void AnswerSpeedLimitRequest(SpeedLimitCode code);
// 0x405 and 0x406: call the handler; its results go nowhere.
void NotifySpeedLimitHandler(SpeedLimitCode code);

HWND FindTrayWindow();

}  // namespace orvane
