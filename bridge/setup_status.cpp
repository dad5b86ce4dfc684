#include "bridge/setup_status.hpp"

namespace orvane {

void StoreSetupStatus(std::int32_t first, std::int32_t second) {
    ORVANE_SCRIPT_THREAD_ONLY();
    detail::g_setupStatus.first = first;
    detail::g_setupStatus.second = second;
}

}  // namespace orvane
