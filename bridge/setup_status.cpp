#include "bridge/setup_status.hpp"

#include "common/thread_checks.hpp"

namespace orvane {
namespace {
SetupStatus g_setupStatus;
}  // namespace

void StoreSetupStatus(std::int32_t first, std::int32_t second) {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_setupStatus.first = first;
    g_setupStatus.second = second;
}

SetupStatus CurrentSetupStatus() {
    ORVANE_SCRIPT_THREAD_ONLY();
    return g_setupStatus;
}

}  // namespace orvane
