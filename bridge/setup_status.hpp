// What the client's setup program last reported through 0x702; the add-in gives it no meaning.
#pragma once

#include <cstdint>

#include "common/thread_checks.hpp"

namespace orvane {

struct SetupStatus {
    std::int32_t first = 0;
    std::int32_t second = 0;
};

namespace detail {
// Written by the window procedure and by LaunchOrvaneSetup, read by scripts: all on the script thread.
// An inline variable, so that reading it costs a script call no call of its own.
inline SetupStatus g_setupStatus;
}  // namespace detail

// Script thread.
void StoreSetupStatus(std::int32_t first, std::int32_t second);
inline SetupStatus CurrentSetupStatus() {
    ORVANE_SCRIPT_THREAD_ONLY();
    return detail::g_setupStatus;
}

}  // namespace orvane
