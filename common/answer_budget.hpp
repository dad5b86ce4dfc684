// The bytes that game-platform answers hold at once, from the first buffer made for one until the
// script thread has delivered it and freed its request: in the exchange loop and in the delivery queue
// together. A 32-bit host has 2 GiB of address space, and each answer may be 16 MiB; no count of
// requests bounds their sum, so this does. Kept free of the platform so that its arithmetic is tested
// natively.
#pragma once

#include <atomic>
#include <cstddef>

namespace orvane {

class BudgetShare;

class AnswerBudget {
public:
    // Ends holders that have stalled, giving their bytes back at once, so that the shortfall of those
    // asked for is made up; whether it was. Called by the thread that grows a share, the asking one.
    using Reclaimer = bool (*)(std::size_t shortfall, const BudgetShare* asking) noexcept;

    explicit constexpr AnswerBudget(std::size_t limit, Reclaimer reclaimer = nullptr) noexcept
        : limit_(limit), reclaimer_(reclaimer) {}
    ~AnswerBudget() = default;
    AnswerBudget(const AnswerBudget&) = delete;
    AnswerBudget& operator=(const AnswerBudget&) = delete;
    AnswerBudget(AnswerBudget&&) = delete;
    AnswerBudget& operator=(AnswerBudget&&) = delete;

    // Any thread: sets bytes aside; false, with nothing set aside, when the sum would pass the limit.
    bool Take(std::size_t bytes) noexcept {
        std::size_t held = held_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ || held > limit_ - bytes) return false;
        } while (!held_.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
        return true;
    }
    // Take, and where the budget is spent, Take again once stalled holders were made to give back.
    bool TakeOrReclaim(std::size_t bytes, const BudgetShare* asking) noexcept {
        if (Take(bytes)) return true;
        if (reclaimer_ == nullptr || bytes > limit_) return false;
        const std::size_t held = Held();
        const std::size_t shortfall = held > limit_ - bytes ? held - (limit_ - bytes) : 0;
        return reclaimer_(shortfall, asking) && Take(bytes);
    }
    // Any thread: gives back bytes set aside.
    void Give(std::size_t bytes) noexcept { held_.fetch_sub(bytes, std::memory_order_relaxed); }
    std::size_t Held() const noexcept { return held_.load(std::memory_order_relaxed); }

private:
    const std::size_t limit_;
    const Reclaimer reclaimer_;
    std::atomic<std::size_t> held_{0};
};

// What one request holds of a budget, used on one thread at a time; all of it goes back with the
// share. It moves with what it pays for: from the exchange that made an answer's buffer to the request
// that carries the answer to its callback.
class BudgetShare {
public:
    BudgetShare() noexcept = default;
    explicit BudgetShare(AnswerBudget& budget) noexcept : budget_(&budget) {}
    ~BudgetShare() { GiveAll(); }
    BudgetShare(BudgetShare&& other) noexcept : budget_(other.budget_), held_(other.held_) { other.held_ = 0; }
    BudgetShare& operator=(BudgetShare&& other) noexcept {
        if (this != &other) {
            GiveAll();
            budget_ = other.budget_;
            held_ = other.held_;
            other.held_ = 0;
        }
        return *this;
    }
    BudgetShare(const BudgetShare&) = delete;
    BudgetShare& operator=(const BudgetShare&) = delete;

    // Memory to be allocated: false, and none taken, past the budget (or without one), once stalled
    // holders were made to give theirs back.
    bool Grow(std::size_t bytes) noexcept {
        if (budget_ == nullptr || !budget_->TakeOrReclaim(bytes, this)) return false;
        held_ += bytes;
        return true;
    }
    // The same for memory that only speeds the holder up: nobody else is ended for it.
    bool GrowIfFree(std::size_t bytes) noexcept {
        if (budget_ == nullptr || !budget_->Take(bytes)) return false;
        held_ += bytes;
        return true;
    }
    // Memory that went; never more than the share holds.
    void Shrink(std::size_t bytes) noexcept {
        if (bytes > held_) bytes = held_;
        held_ -= bytes;
        if (bytes != 0) budget_->Give(bytes);
    }
    std::size_t Held() const noexcept { return held_; }
    // Hands bytes of this share (never more than it holds) to a new one of the same budget, for memory
    // that goes its own way; nothing is given back or taken on the way.
    BudgetShare Split(std::size_t bytes) noexcept {
        BudgetShare part;
        part.budget_ = budget_;
        part.held_ = bytes > held_ ? held_ : bytes;
        held_ -= part.held_;
        return part;
    }
    // Takes over what another share of the same budget holds.
    void Absorb(BudgetShare&& other) noexcept {
        if (budget_ == nullptr) budget_ = other.budget_;
        held_ += other.held_;
        other.held_ = 0;
    }

private:
    void GiveAll() noexcept { Shrink(held_); }

    AnswerBudget* budget_ = nullptr;
    std::size_t held_ = 0;
};

}  // namespace orvane
