// What the add-in's window does with each message it takes: answers come back to the script thread
// through it, and the tray and setup programs notify the add-in through it (bridge/window_messages.hpp).
#pragma once

namespace orvane {

// Script thread, at Startup: creates the add-in's window (bridge/message_window.hpp) with this table
// on the calling thread; the newest window is the one answers are delivered to.
void CreateMessageWindow();

}  // namespace orvane
