// The hidden message-only window: answers come back to the script thread through it, and the tray and
// setup programs notify the add-in through it (bridge/window_messages.hpp).
#pragma once

namespace orvane {

// Registers the class (once per process) and creates a window on the calling thread, which must be
// the script thread; the newest window is the one answers are delivered to.
void CreateMessageWindow();

}  // namespace orvane
