#include "bridge/message_window.hpp"

#include "bridge/window_messages.hpp"
#include "common/thread_checks.hpp"

namespace orvane {
namespace {
constinit MessageWindow g_window;
}  // namespace

MessageWindow& AddinWindow() noexcept { return g_window; }

LRESULT CALLBACK MessageWindow::Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const Procedure procedure = g_window.procedure_;
    return procedure != nullptr ? procedure(window, message, wParam, lParam)
                                : ::DefWindowProcW(window, message, wParam, lParam);
}

HWND MessageWindow::Create(Procedure procedure) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // Set before the window is made: it takes messages while it is being made.
    procedure_ = procedure;
    // The window belongs to the host's executable, not to the add-in: the class outlives nothing of ours.
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    if (!registered_) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &Dispatch;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kMessageWindowName;
        // A class of that name that exists already is used as it is.
        registered_ = ::RegisterClassW(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }
    HWND window = ::CreateWindowExW(0, kMessageWindowName, kMessageWindowName, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    instance, nullptr);
    // Other programs may read the word; nothing of ours does.
#if defined(_WIN64)
    ::SetWindowLongPtrW(window, GWLP_USERDATA, kMessageWindowUserData);
#else
    ::SetWindowLongW(window, GWL_USERDATA, kMessageWindowUserData);
#endif
    window_.store(window);
    made_.fetch_add(1);
    return window;
}

void MessageWindow::Destroy() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    ::DestroyWindow(window_.load());
}

}  // namespace orvane
