// The exchange loop's time limits, kept free of the platform but for the clock the caller reads, so
// that their order is tested natively. Each limit is a Deadline inside its owner; the lists link them
// and own nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/intrusive_list.hpp"

namespace orvane {

struct Deadline {
    explicit Deadline(void* whose) noexcept : owner(whose) {}
    ~Deadline() = default;
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    Deadline(Deadline&&) = delete;
    Deadline& operator=(Deadline&&) = delete;

    void* const owner;  // what the limit is of, for whoever finds it due
    std::uint64_t due = 0;
    std::uint64_t since = 0;  // when it was set: its owner's last move
    ListLink<Deadline> link;
    void* list = nullptr;  // the list that holds it; none while it is not set
};

// Limits of a few lengths (a step's limit, a reply's), in order of their due times. Each length has a
// list of its own, so that setting a limit again is an append however many wait under a longer one;
// limits due at a time of their own (a whole exchange's) have one more list, set once an owner.
class DeadlineLists {
public:
    static constexpr std::size_t kLengths = 2;

    // Due ms after now; set again, it replaces the one before. A length beyond kLengths shares the
    // last list, which stays in order, only slower to add to.
    void Limit(Deadline& deadline, std::uint64_t now, std::uint64_t ms) noexcept;
    // Due at `due`, in the list of limits of their own time.
    void LimitAt(Deadline& deadline, std::uint64_t due) noexcept;
    static void Clear(Deadline& deadline) noexcept;
    static bool Set(const Deadline& deadline) noexcept { return deadline.list != nullptr; }

    // The earliest due at or before now, cleared; null when none is.
    Deadline* TakeDue(std::uint64_t now) noexcept;
    // The earliest due time of all; UINT64_MAX when none is set.
    std::uint64_t Earliest() const noexcept;

    // Every limit of a length, oldest first, until visit answers false.
    template <class Visit>
    void ForEachOldestFirst(Visit visit) const {
        for (const Lane& lane : lengths_) {
            for (Deadline* deadline = lane.list.First(); deadline != nullptr; deadline = List::Later(*deadline)) {
                if (!visit(*deadline)) return;
            }
        }
    }

    // Makes room for a shortfall of bytes, `kept` of which are at hand already: `held(deadline)` is
    // what ending its owner gives back (0 for one that may not be ended). Ends, oldest first, only as
    // many as cover what `kept` does not; none, answering false, when all of them would not.
    template <class Held, class End>
    bool EndOldestCovering(std::size_t shortfall, std::size_t kept, Held held, End end) const {
        const auto visit = [&](auto&& take) {
            std::size_t found = kept;
            ForEachOldestFirst([&](const Deadline& deadline) {
                if (found >= shortfall) return false;
                if (const std::size_t bytes = held(deadline)) {
                    found += bytes;
                    take(deadline);
                }
                return true;
            });
            return found;
        };
        if (visit([](const Deadline&) {}) < shortfall) return false;
        (void)visit(end);
        return true;
    }

private:
    using List = IntrusiveList<Deadline, &Deadline::link>;
    struct Lane {
        std::uint64_t ms = 0;  // 0 until a limit of this length is set
        List list;             // earliest first
    };
    static void Insert(Lane& lane, Deadline& deadline) noexcept;

    Lane lengths_[kLengths];
    Lane at_;  // limits of their own time
};

}  // namespace orvane
