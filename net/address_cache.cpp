#include "net/address_cache.hpp"

#include <utility>

namespace orvane {

AddressCache::Entry* AddressCache::Find(std::string_view host) noexcept {
    for (Entry& entry : entries_) {
        if (entry.host == host) return &entry;
    }
    return nullptr;
}

// A clock read before the lookup's worker dated its answer counts as within its time.
bool AddressCache::IsFresh(const Entry& entry, std::uint64_t now) const noexcept {
    const std::uint64_t keepMs = entry.address && !entry.doubted ? foundMs_ : failedMs_;
    return entry.known && !entry.looking && (now < entry.at || now - entry.at < keepMs);
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
    entry->waiting.PushBack(waiter);
    if (entry->looking) return {Next::Wait, std::nullopt};
    entry->looking = true;
    return {Next::Look, std::nullopt};
}

AddressWaiters AddressCache::Learn(std::string_view host, LookedUp address, std::uint64_t at) noexcept {
    Entry* entry = Find(host);
    if (entry == nullptr) return {};
    entry->known = true;
    entry->address = address;
    entry->doubted = false;
    entry->at = at;
    entry->looking = false;
    for (AddressWaiter* waiter = entry->waiting.First(); waiter != nullptr;
         waiter = AddressWaiter::List::Later(*waiter)) {
        waiter->entry_ = nullptr;
    }
    return AddressWaiters(entry->waiting.TakeAll());
}

void AddressCache::Doubt(std::string_view host, std::uint32_t address) noexcept {
    Entry* entry = Find(host);
    if (entry != nullptr && entry->address == address) entry->doubted = true;
}

bool AddressCache::Leave(AddressWaiter& waiter) noexcept {
    if (waiter.entry_ == nullptr) return false;
    static_cast<Entry*>(waiter.entry_)->waiting.Remove(waiter);
    waiter.entry_ = nullptr;
    return true;
}

}  // namespace orvane
