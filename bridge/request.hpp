// One script request, from the method call that took its callback to that callback's one call. It is
// made on the script thread and handed on by ownership: to whoever works on it (an exchange on the
// network loop), then to the delivery queue, whose handling on the script thread calls the callback
// with the answer and frees it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/callback_ref.hpp"
#include "common/answer_budget.hpp"
#include "common/answer_buffer.hpp"
#include "common/failure.hpp"
#include "common/intrusive_list.hpp"

namespace orvane {

class Request {
public:
    // operation: the method's name, for the line a failure writes; a constant of the module. The
    // request owns the callback from here on: whichever way it ends, freed, the reference goes with it.
    Request(const char* operation, CallbackRef callback) noexcept;
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Any thread, at most once: the text the callback gets, with what its buffer costs the budget of
    // answers, which goes back when the request is freed.
    void Answer(std::string text, BudgetShare share = {}) noexcept;
    // The same for an answer in its buffer, which carries its own share.
    void Answer(AnswerBuffer buffer, BudgetShare share = {}) noexcept;
    // Any thread, at most once: the callback gets the empty text. The cause's line is written by the
    // script thread, just before the callback or when the request is dropped, never by a thread that
    // must not wait for a debug listener (the network loop).
    void Fail(Failure cause, std::uint32_t code = 0) noexcept;
    // The failure's line, if it failed, by the reporter given; once.
    using Reporter = void (*)(const char* operation, Failure cause, std::uint32_t code) noexcept;
    void ReportFailed(Reporter report) noexcept;

    const char* Operation() const noexcept { return operation_; }
    // Whether its callback may still be called: not asked while a window that is gone (up to window
    // number `goneWindow`; 0: none) was the newest, nor before the last close of the window, after
    // which its Lua state may be closed; and its state not known to be closed. An undeliverable
    // request is never delivered, not even to the window of a later Startup.
    bool Deliverable(std::uint32_t goneWindow = 0) const noexcept {
        return window_ > goneWindow && callback_.Deliverable();
    }
    // Script thread: whether its state may still be called (CallbackRef::StateLives).
    bool StateLives() const noexcept { return callback_.StateLives(); }
    // Script thread, once: calls the callback with the answer; false when the empty text went instead.
    bool CallBack() noexcept { return callback_.CallOnce(AnswerText()); }
    // What the callback gets: the answer up to its first zero byte, as the host's texts end there; the
    // empty text until an answer is given, and after any failure.
    std::string_view AnswerText() const noexcept;

private:
    friend class DeliveryQueue;

    const char* operation_;
    std::uint32_t window_;
    std::uint32_t failedCode_ = 0;
    std::optional<Failure> failed_;  // until its line is written
    CallbackRef callback_;
    BudgetShare share_;       // declared before the answer, so that the answer's memory goes first
    AnswerBuffer buffer_;     // the answer
    ListLink<Request> link_;  // the delivery queue's
};

// Requests made and not yet freed; part of the module's reasons not to unload.
long LiveRequests() noexcept;

}  // namespace orvane
