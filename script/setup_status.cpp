#include "script/setup_status.hpp"

namespace orvane {
namespace {
// Written by the window procedure and by LaunchOrvaneSetup, read by scripts: all on the script thread.
SetupStatus g_setupStatus;
}  // namespace

void StoreSetupStatus(std::int32_t first, std::int32_t second) {
    g_setupStatus.first = first;
    g_setupStatus.second = second;
}

SetupStatus CurrentSetupStatus() { return g_setupStatus; }

}  // namespace orvane
