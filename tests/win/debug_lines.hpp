// The lines this process writes with OutputDebugString, for tests of causes that no script reaches.
#pragma once

#include <string>
#include <vector>

#include "host/debug_output.hpp"

namespace orvane::testing {

// The lines written since the last call, oldest first, without their line ends. The first call
// starts keeping them, and returns none.
inline std::vector<std::string> TakeDebugLines() {
    static const bool kept = [] {
        host::KeepDebugOutput();
        return true;
    }();
    static_cast<void>(kept);
    return host::TakeDebugOutput();
}

}  // namespace orvane::testing
