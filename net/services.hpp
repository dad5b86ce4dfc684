// The two network services as the script layer asks them. Both requests return at once; the callback
// is called later, once, on the script thread, with the answer or the empty text after any failure.
#pragma once

#include <string>
#include <string_view>

#include "bridge/callback_ref.hpp"

namespace orvane {

// Script thread: asks the tips service (UDP) for a tips id of a pid and a cid.
void AskTipsId(const std::string& pid, const std::string& cid, CallbackRef callback) noexcept;

// Script thread: tells the tips service that a tip was shown, with one datagram and no reply awaited.
// The values are already in the system's ANSI code page. The report goes out from the exchange loop,
// once the service's address is known, so this never waits. False when it will not go out.
bool ReportTipShown(std::string_view tipid, std::string_view pid, std::string_view cid, std::string_view sign);

// Reports handed to the exchange loop and not yet sent; part of the module's reasons not to unload.
long WaitingReports() noexcept;

// Script thread: asks the game-platform service (framed TCP) for the "games" value of a name and a type.
void AskActiveGame(const std::string& name, const std::string& type, CallbackRef callback) noexcept;

}  // namespace orvane
