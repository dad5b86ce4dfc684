#include <windows.h>

#include "common/failure.hpp"
#include "common/thread_checks.hpp"

namespace orvane {
namespace {

constexpr std::size_t kLineSize = 128;

void Write(const char (&line)[kLineSize], std::size_t length) noexcept {
    // The line is ASCII, so each byte is its own UTF-16 unit.
    wchar_t wide[kLineSize];
    for (std::size_t i = 0; i <= length; ++i) wide[i] = static_cast<unsigned char>(line[i]);
    ::OutputDebugStringW(wide);
}

// Script thread only: the messages it limits are handled there.
FailureLimiter g_messageLines;

}  // namespace

void ReportFailure(const char* operation, Failure cause, std::uint32_t code) noexcept {
    char line[kLineSize];
    Write(line, FormatFailure(line, sizeof line, operation, cause, code));
}

void ReportFailureAtMostEachSecond(const char* operation, Failure cause, std::uint32_t code) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    const FailureLimiter::Verdict verdict = g_messageLines.Admit(operation, cause, ::GetTickCount64());
    if (!verdict.write) return;
    const std::uint64_t start = ::GetTickCount64();
    char line[kLineSize];
    if (verdict.leftOut != 0) Write(line, FormatLeftOut(line, sizeof line, operation, cause, verdict.leftOut));
    Write(line, FormatFailure(line, sizeof line, operation, cause, code));
    g_messageLines.Wrote(start, ::GetTickCount64());
}

}  // namespace orvane
