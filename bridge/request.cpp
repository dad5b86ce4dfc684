#include "bridge/request.hpp"

#include <windows.h>

#include <atomic>
#include <utility>

namespace orvane {
namespace {
volatile LONG g_liveRequests = 0;
// Written on the script thread, where requests are made; read by whichever thread delivers.
std::atomic<std::uint32_t> g_generation{0};
}  // namespace

Request::Request(const char* operation, CallbackRef callback) noexcept
    : operation_(operation), callback_(callback), generation_(g_generation.load()) {
    ::InterlockedIncrement(&g_liveRequests);
}

Request::~Request() { ::InterlockedDecrement(&g_liveRequests); }

void Request::Answer(std::string text, BudgetShare charge) noexcept {
    answer_ = std::move(text);
    charge_ = std::move(charge);
}

void Request::Fail(Failure cause, std::uint32_t code) noexcept {
    std::string().swap(answer_);
    charge_ = BudgetShare();
    ReportFailure(operation_, cause, code);
}

bool Request::BeforeLastClose() const noexcept { return generation_ != g_generation.load(); }

long LiveRequests() noexcept { return g_liveRequests; }

void EndRequestGeneration() noexcept { g_generation.fetch_add(1); }

}  // namespace orvane
