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

void Request::Answer(std::string text, BudgetShare charge) noexcept {
    // One kind of answer record for every request, since thousands in flight each hold one.
    AnswerRoom room = AnswerRoom::Make(text.size(), std::move(charge));
    if (!room) return Fail(Failure::NoMemory);
    room.Append({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
    room.Scan();
    room_ = std::move(room);
}

void Request::Answer(AnswerRoom room, BudgetShare charge) noexcept {
    room_ = std::move(room);
    charge_ = std::move(charge);
}

std::string_view Request::AnswerText() const noexcept {
    if (room_) return room_.Text();
    return "";
}

void Request::Fail(Failure cause, std::uint32_t code) noexcept {
    room_ = AnswerRoom();
    charge_ = BudgetShare();
    failed_ = cause;
    failedCode_ = code;
}

void Request::ReportFailed(Reporter report) noexcept {
    if (const std::optional<Failure> cause = std::exchange(failed_, std::nullopt))
        report(operation_, *cause, failedCode_);
}

long LiveRequests() noexcept { return g_liveRequests; }

}  // namespace orvane
