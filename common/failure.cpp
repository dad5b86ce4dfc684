#include "common/failure.hpp"

namespace orvane {

const char* FailureName(Failure cause) noexcept {
    switch (cause) {
        case Failure::NoReceiver: return "no_receiver";
        case Failure::CallbackNotAFunction: return "callback_not_a_function";
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

std::size_t FormatFailure(char* line, std::size_t size, const char* operation, Failure cause,
                          std::uint32_t code) noexcept {
    if (size == 0) return 0;
    std::size_t at = 0;
    const auto put = [&](const char* text) {
        while (*text != '\0' && at + 1 < size) line[at++] = *text++;
    };
    put("Orvane: ");
    put(operation);
    put(": ");
    put(FailureName(cause));
    if (code != 0) {
        char digits[16];
        char* first = digits + sizeof digits;
        *--first = '\0';
        do {
            *--first = static_cast<char>('0' + code % 10);
            code /= 10;
        } while (code != 0);
        put(" (");
        put(first);
        put(")");
    }
    put("\n");
    line[at] = '\0';
    return at;
}

}  // namespace orvane
