#include "bridge/setup_status.hpp"

namespace orvane {

void StoreSetupStatus(std::int32_t first, std::int32_t second) {
    detail::g_setupStatus.first = first;
    detail::g_setupStatus.second = second;
}

}  // namespace orvane
