#include "net/deadline_list.hpp"

#include <algorithm>
#include <iterator>

namespace orvane {

void DeadlineLists::Insert(Lane& lane, Deadline& deadline) noexcept {
    // Searching back from the last keeps the list in order whatever comes; for limits of one length it
    // never steps.
    Deadline* before = lane.list.Last();
    while (before != nullptr && before->due > deadline.due) before = List::Earlier(*before);
    lane.list.InsertAfter(before, deadline);
    deadline.list = &lane;
}

void DeadlineLists::Limit(Deadline& deadline, std::uint64_t now, std::uint64_t ms) noexcept {
    Clear(deadline);
    deadline.due = now + ms;
    deadline.since = now;
    Lane* lane = &lengths_[std::size(lengths_) - 1];
    for (Lane& candidate : lengths_) {
        if (candidate.ms == 0) candidate.ms = ms;
        if (candidate.ms == ms) {
            lane = &candidate;
            break;
        }
    }
    Insert(*lane, deadline);
}

void DeadlineLists::LimitAt(Deadline& deadline, std::uint64_t due) noexcept {
    Clear(deadline);
    deadline.due = due;
    Insert(at_, deadline);
}

void DeadlineLists::Clear(Deadline& deadline) noexcept {
    if (deadline.list == nullptr) return;
    static_cast<Lane*>(deadline.list)->list.Remove(deadline);
    deadline.list = nullptr;
}

static_assert(DeadlineLists::kLengths == 2, "the lanes below name each list");

Deadline* DeadlineLists::TakeDue(std::uint64_t now) noexcept {
    Deadline* earliest = nullptr;
    for (Lane* lane : {&lengths_[0], &lengths_[1], &at_}) {
        Deadline* first = lane->list.First();
        if (first != nullptr && first->due <= now && (earliest == nullptr || first->due < earliest->due))
            earliest = first;
    }
    if (earliest != nullptr) Clear(*earliest);
    return earliest;
}

std::uint64_t DeadlineLists::Earliest() const noexcept {
    std::uint64_t earliest = UINT64_MAX;
    for (const Lane* lane : {&lengths_[0], &lengths_[1], &at_}) {
        if (const Deadline* first = lane->list.First()) earliest = std::min(earliest, first->due);
    }
    return earliest;
}

}  // namespace orvane
