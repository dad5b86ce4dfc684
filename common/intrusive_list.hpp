// The one doubly linked list the add-in's records are kept in, through a link inside each record:
// linking and unlinking never allocate and cannot fail, and a record can leave its list from the
// middle in constant time, knowing only itself and its list. The list owns nothing: whoever links a
// record keeps it alive until it is unlinked, and says elsewhere which list it is in, if any.
#pragma once

#include <utility>

namespace orvane {

template <class T>
struct ListLink {
    T* earlier = nullptr;
    T* later = nullptr;
};

template <class T, ListLink<T> T::*Link>
class IntrusiveList {
public:
    constexpr IntrusiveList() noexcept = default;
    // The records stay where they are: only the ends move.
    IntrusiveList(IntrusiveList&& other) noexcept
        : first_(std::exchange(other.first_, nullptr)), last_(std::exchange(other.last_, nullptr)) {}
    IntrusiveList& operator=(IntrusiveList&&) = delete;
    IntrusiveList(const IntrusiveList&) = delete;
    IntrusiveList& operator=(const IntrusiveList&) = delete;
    ~IntrusiveList() = default;

    bool Empty() const noexcept { return first_ == nullptr; }
    T* First() const noexcept { return first_; }
    T* Last() const noexcept { return last_; }
    static T* Earlier(const T& item) noexcept { return (item.*Link).earlier; }
    static T* Later(const T& item) noexcept { return (item.*Link).later; }

    void PushBack(T& item) noexcept { InsertAfter(last_, item); }
    // After `before`, or first when it is null.
    void InsertAfter(T* before, T& item) noexcept {
        ListLink<T>& link = item.*Link;
        link.earlier = before;
        link.later = before != nullptr ? (before->*Link).later : first_;
        (link.later != nullptr ? (link.later->*Link).earlier : last_) = &item;
        (before != nullptr ? (before->*Link).later : first_) = &item;
    }
    // Only for a record of this list. A record links only to others of its list, never to itself nor
    // to one that has left it (and may be freed since), which the analyzer cannot see.
    void Remove(T& item) noexcept {
        ListLink<T>& link = item.*Link;
        // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDelete)
        (link.earlier != nullptr ? (link.earlier->*Link).later : first_) = link.later;
        (link.later != nullptr ? (link.later->*Link).earlier : last_) = link.earlier;
        link = ListLink<T>{};
    }
    // The first record, no longer linked to the others, so that whoever takes it may free it; null
    // when there is none.
    T* PopFront() noexcept {
        T* item = first_;
        if (item != nullptr) Remove(*item);
        return item;
    }
    // Every record, in order, leaving this list empty.
    IntrusiveList TakeAll() noexcept { return IntrusiveList(std::move(*this)); }

private:
    T* first_ = nullptr;
    T* last_ = nullptr;
};

}  // namespace orvane
