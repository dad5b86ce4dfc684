#include "bridge/pending_deliveries.hpp"

#include <algorithm>

namespace orvane {

void PendingDeliveries::Add(const void* callback, const void* result) {
    SmallLockGuard guard(lock_);
    entries_.push_back({callback, result});
}

std::size_t PendingDeliveries::Size() const {
    SmallLockGuard guard(lock_);
    return entries_.size();
}

bool PendingDeliveries::Take(const void* callback, const void* result) {
    SmallLockGuard guard(lock_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& e) { return e.callback == callback && e.result == result; });
    if (it == entries_.end()) return false;
    *it = entries_.back();
    entries_.pop_back();
    return true;
}

}  // namespace orvane
