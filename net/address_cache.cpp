#include "net/address_cache.hpp"

#include <utility>

namespace orvane {

AddressWaiter* AddressWaiters::Pop() noexcept {
    AddressWaiter* waiter = first_;
    if (waiter == nullptr) return nullptr;
    first_ = waiter->later_;
    if (first_ != nullptr) first_->earlier_ = nullptr;
    waiter->later_ = nullptr;
    return waiter;
}

AddressCache::Entry* AddressCache::Find(std::string_view host) noexcept {
    for (Entry& entry : entries_) {
        if (entry.host == host) return &entry;
    }
    return nullptr;
}

// A clock read before the lookup's worker dated its answer counts as within its time.
bool AddressCache::IsFresh(const Entry& entry, std::uint64_t now) const noexcept {
    return entry.known && !entry.looking && (now < entry.at || now - entry.at < keepMs_);
}

AddressCache::Answer AddressCache::Ask(std::string_view host, std::uint64_t now, AddressWaiter& waiter) {
    Entry* entry = Find(host);
    if (entry == nullptr) {
        // Named before it joins the list: a copy that runs out of memory leaves no nameless entry.
        Entry named;
        named.host = host;
        entries_.push_back(std::move(named));
        entry = &entries_.back();
    }
    if (IsFresh(*entry, now)) return {Next::Use, entry->address};
    waiter.entry_ = entry;
    waiter.earlier_ = entry->last;
    waiter.later_ = nullptr;
    (entry->last != nullptr ? entry->last->later_ : entry->first) = &waiter;
    entry->last = &waiter;
    if (entry->looking) return {Next::Wait, std::nullopt};
    entry->looking = true;
    return {Next::Look, std::nullopt};
}

AddressWaiters AddressCache::Learn(std::string_view host, LookedUp address, std::uint64_t at) noexcept {
    Entry* entry = Find(host);
    if (entry == nullptr) return {};
    entry->known = true;
    entry->address = address;
    entry->at = at;
    entry->looking = false;
    for (AddressWaiter* waiter = entry->first; waiter != nullptr; waiter = waiter->later_) waiter->entry_ = nullptr;
    AddressWaiters waiting(entry->first);
    entry->first = entry->last = nullptr;
    return waiting;
}

bool AddressCache::Leave(AddressWaiter& waiter) noexcept {
    if (waiter.entry_ == nullptr) return false;
    auto* entry = static_cast<Entry*>(waiter.entry_);
    (waiter.earlier_ != nullptr ? waiter.earlier_->later_ : entry->first) = waiter.later_;
    (waiter.later_ != nullptr ? waiter.later_->earlier_ : entry->last) = waiter.earlier_;
    waiter.earlier_ = waiter.later_ = nullptr;
    waiter.entry_ = nullptr;
    return true;
}

}  // namespace orvane
