#include "common/failure.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace orvane {

const char* FailureName(Failure cause) noexcept {
    switch (cause) {
        case Failure::NoReceiver: return "no_receiver";
        case Failure::CallbackNotAFunction: return "callback_not_a_function";
        case Failure::StateMayBeClosing: return "state_may_be_closing";
        case Failure::NotScriptThread: return "not_script_thread";
        case Failure::WindowClosed: return "window_closed";
        case Failure::NoMemory: return "no_memory";
        case Failure::LoopUnavailable: return "loop_unavailable";
        case Failure::TooManyInFlight: return "too_many_in_flight";
        case Failure::LookupFailed: return "lookup_failed";
        case Failure::SocketFailed: return "socket_failed";
        case Failure::ConnectFailed: return "connect_failed";
        case Failure::SendFailed: return "send_failed";
        case Failure::ReceiveFailed: return "receive_failed";
        case Failure::TimedOut: return "timed_out";
        case Failure::EmptyReply: return "empty_reply";
        case Failure::ConnectionClosed: return "connection_closed";
        case Failure::NoAnswer: return "no_answer";
        case Failure::ReplyTooLong: return "reply_too_long";
        case Failure::ReplyMalformed: return "reply_malformed";
        case Failure::KeyMissing: return "key_missing";
        case Failure::OverBudget: return "over_budget";
        case Failure::EmptyUrl: return "empty_url";
        case Failure::TooManyLate: return "too_many_late";
        case Failure::ThreadFailed: return "thread_failed";
        case Failure::UrlNotCanonical: return "url_not_canonical";
        case Failure::InternetOpenFailed: return "internet_open_failed";
        case Failure::OpenUrlFailed: return "open_url_failed";
        case Failure::NothingRead: return "nothing_read";
        case Failure::LimitPassed: return "limit_passed";
        case Failure::NoTrayWindow: return "no_tray_window";
        case Failure::NoHandler: return "no_handler";
        case Failure::HandlerFailed: return "handler_failed";
        case Failure::PostFailed: return "post_failed";
    }
    return "unknown";
}

namespace {

// Writes one line into `line`, cut to its size, from the pieces put(...) appends.
class LineWriter {
public:
    LineWriter(char* line, std::size_t size) noexcept : line_(line), size_(size) {}
    void Put(const char* text) noexcept {
        while (*text != '\0' && at_ + 1 < size_) line_[at_++] = *text++;
    }
    void Put(std::uint32_t number) noexcept {
        char digits[16];
        char* first = digits + sizeof digits;
        *--first = '\0';
        do {
            *--first = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number != 0);
        Put(first);
    }
    std::size_t End() noexcept {
        Put("\n");
        line_[at_] = '\0';
        return at_;
    }

private:
    char* line_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Every line starts alike, so that DebugView's filter and the tests find a cause by the same words.
void PutHead(LineWriter& writer, const char* operation, Failure cause) noexcept {
    writer.Put("Orvane: ");
    writer.Put(operation);
    writer.Put(": ");
    writer.Put(FailureName(cause));
}

}  // namespace

std::size_t FormatFailure(char* line, std::size_t size, const char* operation, Failure cause,
                          std::uint32_t code) noexcept {
    if (size == 0) return 0;
    LineWriter writer(line, size);
    PutHead(writer, operation, cause);
    if (code != 0) {
        writer.Put(" (");
        writer.Put(code);
        writer.Put(")");
    }
    return writer.End();
}

std::size_t FormatLeftOut(char* line, std::size_t size, const char* operation, Failure cause,
                          std::uint32_t count) noexcept {
    if (size == 0) return 0;
    LineWriter writer(line, size);
    PutHead(writer, operation, cause);
    writer.Put(": ");
    writer.Put(count);
    writer.Put(" more left out");
    return writer.End();
}

FailureLimiter::Verdict FailureLimiter::Admit(const char* operation, Failure cause, std::uint64_t nowMs) noexcept {
    Entry* entry = nullptr;
    for (std::size_t i = 0; i < used_ && entry == nullptr; ++i) {
        if (entries_[i].cause == cause && std::strcmp(entries_[i].operation, operation) == 0) entry = &entries_[i];
    }
    if (entry == nullptr) {
        if (used_ == std::size(entries_)) return {};
        entry = &entries_[used_++];
        *entry = Entry{operation, cause, kNever, 0};
    }
    if (nowMs < quietUntil_ || (entry->since != kNever && nowMs - entry->since < kPeriodMs)) {
        if (entry->leftOut < UINT32_MAX) ++entry->leftOut;
        return {};
    }
    const Verdict verdict{true, entry->leftOut};
    entry->since = nowMs;
    entry->leftOut = 0;
    return verdict;
}

void FailureLimiter::Wrote(std::uint64_t startMs, std::uint64_t endMs) noexcept {
    const std::uint64_t took = endMs > startMs ? endMs - startMs : 0;
    if (startMs - windowStart_ >= kPeriodMs || startMs < windowStart_) {
        windowStart_ = startMs;
        windowTook_ = 0;
    }
    windowTook_ += took;
    if (windowTook_ < kSlowWriteMs) return;
    quietUntil_ = endMs + std::min(windowTook_ * kQuietPerSlowMs, kLongestQuietMs);
    windowTook_ = 0;
}

bool LineQueue::Push(const char* operation, Failure cause, std::uint32_t code) noexcept {
    if (count_ == kCapacity) {
        if (lost_.code == 0) {
            lost_.operation = operation;
            lost_.cause = cause;
        }
        if (lost_.code < UINT32_MAX) ++lost_.code;
        return false;
    }
    lines_[(first_ + count_++) % kCapacity] = Line{operation, cause, code};
    return true;
}

bool LineQueue::Pop(Line& line) noexcept {
    if (count_ == 0) {
        if (lost_.code == 0) return false;
        line = std::exchange(lost_, Line{nullptr, Failure::NoMemory, 0, true});
        return true;
    }
    line = lines_[first_];
    first_ = (first_ + 1) % kCapacity;
    --count_;
    return true;
}

}  // namespace orvane
