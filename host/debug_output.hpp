// What the add-in writes with OutputDebugString, as DebugView shows it on Windows: the stand-in host
// keeps the lines so that a script can read them (host.debug_output()).
#pragma once

#include <string>
#include <vector>

namespace orvane::host {

// Starts keeping the lines that any thread of this process writes; once, before the add-in loads.
void KeepDebugOutput();

// The lines kept since the last call, oldest first, without their line ends; at most the newest
// kDebugLinesKept of them.
std::vector<std::string> TakeDebugOutput();

inline constexpr std::size_t kDebugLinesKept = 4096;

}  // namespace orvane::host
