// What the client's setup program last reported through 0x702; the add-in gives it no meaning.
#pragma once

#include <cstdint>

namespace orvane {

struct SetupStatus {
    std::int32_t first = 0;
    std::int32_t second = 0;
};

// Script thread: written by the window procedure and by LaunchOrvaneSetup, read by scripts.
void StoreSetupStatus(std::int32_t first, std::int32_t second);
SetupStatus CurrentSetupStatus();

}  // namespace orvane
