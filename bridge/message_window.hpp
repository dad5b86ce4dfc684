// The add-in's hidden message-only window, as other programs find it (bridge/window_messages.hpp). It
// owns its handle and registers its class once; it knows nothing of what the messages mean: each goes
// to the procedure it was made with. Whoever needs the window asks it and keeps no handle of its own.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace orvane {

class MessageWindow {
public:
    using Procedure = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    constexpr MessageWindow() noexcept = default;
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    // Never destroys its window: it goes with its thread, or when the host or a WM_CLOSE ends it.
    ~MessageWindow() = default;

    // Script thread: makes a new window on this thread whose messages go to procedure, from the first
    // one on. It is the one this names from now on; the one before is left as it is. Null when it
    // could not be made.
    HWND Create(Procedure procedure) noexcept;
    // Script thread: destroys the newest window.
    void Destroy() noexcept;

    // Any thread: the newest window. It keeps naming the window after it is destroyed, so that a post
    // to it fails rather than reach another.
    HWND Handle() const noexcept { return window_.load(); }
    // Any thread: whether the newest window lives.
    bool Open() const noexcept { return ::IsWindow(window_.load()) != FALSE; }
    // Any thread: how many windows were made, counted once each is the newest; so a reader that
    // counts first and then reads Handle() finds that window or a newer one.
    std::uint32_t Made() const noexcept { return made_.load(); }

private:
    static LRESULT CALLBACK Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::atomic<HWND> window_{nullptr};
    std::atomic<std::uint32_t> made_{0};
    // Script thread only; the class's procedure reads it for every message of every window made.
    Procedure procedure_ = nullptr;
    bool registered_ = false;
};

// The add-in's one window.
MessageWindow& AddinWindow() noexcept;

}  // namespace orvane
