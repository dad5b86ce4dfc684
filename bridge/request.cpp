#include "bridge/request.hpp"

#include <windows.h>

#include <optional>
#include <string_view>
#include <utility>

#include "bridge/message_window.hpp"

namespace orvane {
namespace {
volatile LONG g_liveRequests = 0;
}  // namespace

Request::Request(const char* operation, CallbackRef callback) noexcept
    : operation_(operation), window_(AddinWindow().Made()), callback_(std::move(callback)) {
    ::InterlockedIncrement(&g_liveRequests);
}

Request::~Request() { ::InterlockedDecrement(&g_liveRequests); }

void Request::Answer(std::string text, BudgetShare share) noexcept {
    // One kind of answer record for every request, since thousands in flight each hold one.
    AnswerBuffer buffer = AnswerBuffer::Make(text.size(), std::move(share));
    if (!buffer) return Fail(Failure::NoMemory);
    buffer.Append({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
    buffer.Scan();
    buffer_ = std::move(buffer);
}

void Request::Answer(AnswerBuffer buffer, BudgetShare share) noexcept {
    buffer_ = std::move(buffer);
    share_ = std::move(share);
}

std::string_view Request::AnswerText() const noexcept {
    if (buffer_) return buffer_.Text();
    return "";
}

void Request::Fail(Failure cause, std::uint32_t code) noexcept {
    buffer_ = AnswerBuffer();
    share_ = BudgetShare();
    failed_ = cause;
    failedCode_ = code;
}

void Request::ReportFailed(Reporter report) noexcept {
    if (const std::optional<Failure> cause = std::exchange(failed_, std::nullopt))
        report(operation_, *cause, failedCode_);
}

long LiveRequests() noexcept { return g_liveRequests; }

}  // namespace orvane
