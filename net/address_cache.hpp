// The service addresses both clients share. A name is looked up at most once a second, an address
// found serves for minutes, and no one who asks ever runs the lookup: whoever needs it while its lookup runs waits on
// its entry, and everyone waiting is continued by the lookup's one answer. Kept free of sockets so that its rules are
// tested natively; the exchange loop, its one user, runs the lookups and continues the waiters.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/intrusive_list.hpp"

namespace orvane {

// An IPv4 address in network byte order, or nothing when the name could not be resolved.
using LookedUp = std::optional<std::uint32_t>;

// Whatever waits for a name. Parking one allocates nothing, so waiting cannot fail; it is continued
// once, by whoever takes it off its entry.
class AddressWaiter {
public:
    virtual ~AddressWaiter() = default;
    AddressWaiter(const AddressWaiter&) = delete;
    AddressWaiter& operator=(const AddressWaiter&) = delete;
    AddressWaiter(AddressWaiter&&) = delete;
    AddressWaiter& operator=(AddressWaiter&&) = delete;

    // The answer of the lookup this waited for.
    virtual void AddressKnown(LookedUp address) noexcept = 0;

protected:
    AddressWaiter() = default;

private:
    friend class AddressCache;
    friend class AddressWaiters;
    ListLink<AddressWaiter> link_;
    using List = IntrusiveList<AddressWaiter, &AddressWaiter::link_>;
    void* entry_ = nullptr;  // the cache's entry waited on, while waiting
};

// Waiters taken off an entry together, oldest first.
class AddressWaiters {
public:
    AddressWaiters() = default;
    explicit AddressWaiters(AddressWaiter::List waiting) noexcept : waiting_(std::move(waiting)) {}
    AddressWaiters(AddressWaiters&& other) noexcept = default;
    AddressWaiters& operator=(AddressWaiters&&) = delete;
    AddressWaiters(const AddressWaiters&) = delete;
    AddressWaiters& operator=(const AddressWaiters&) = delete;
    ~AddressWaiters() = default;

    // The next one, no longer linked to the others, so that continuing it may free it; null at the end.
    AddressWaiter* Pop() noexcept { return waiting_.PopFront(); }

private:
    AddressWaiter::List waiting_;
};

class AddressCache {
public:
    // An address found is used for foundMs from when it came; a name not found, or an address
    // doubted since, for failedMs.
    AddressCache(std::uint64_t foundMs, std::uint64_t failedMs) noexcept : foundMs_(foundMs), failedMs_(failedMs) {}

    enum class Next {
        Use,   // the address is known: go on with it; nothing was parked
        Look,  // parked; the caller must look the name up and hand the answer to Learn
        Wait,  // parked; a lookup is under way already
    };
    struct Answer {
        Next next = Next::Use;
        LookedUp address;  // with Use only
    };

    // What someone who needs host's address at the time now gets. Throws only when a name asked for
    // the first time cannot be given an entry, and then nothing was parked.
    Answer Ask(std::string_view host, std::uint64_t now, AddressWaiter& waiter);

    // The answer of the lookup of host, dated when it came: everyone who waited for it, to be
    // continued with it outside the cache.
    AddressWaiters Learn(std::string_view host, LookedUp address, std::uint64_t at) noexcept;

    // Takes a waiter off the entry it waits on before the answer comes; false when it was not waiting.
    static bool Leave(AddressWaiter& waiter) noexcept;

    // The service could not be reached at that address of host's: it is kept no longer than a name
    // not found, so a service that moved is looked up again soon, and a service that is down is
    // still looked up no more than once per that time. An address the name no longer has is no news.
    void Doubt(std::string_view host, std::uint32_t address) noexcept;

private:
    struct Entry {
        std::string host;
        bool known = false;
        LookedUp address;
        bool doubted = false;
        std::uint64_t at = 0;
        bool looking = false;
        AddressWaiter::List waiting;
    };

    Entry* Find(std::string_view host) noexcept;
    bool IsFresh(const Entry& entry, std::uint64_t now) const noexcept;

    // One per name ever asked for, never removed: the names are the module's constants. A list, so
    // that an entry stays where its waiters point.
    std::list<Entry> entries_;
    const std::uint64_t foundMs_;
    const std::uint64_t failedMs_;
};

}  // namespace orvane
