#include <windows.h>

#include "common/failure.hpp"
#include "common/thread_checks.hpp"
#include "common/win_handles.hpp"

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

// Whether anyone can hold a write up: a debugger, which takes each line while the thread waits, or a
// reader of the system's debug-output buffer (DebugView's), whose reading each write waits for. With
// neither, a slow write is only a busy machine not running this thread, and going quiet for it would
// drop the first line of other operations and causes, the lines a script writer looks for.
bool SomeoneCanHoldWritesUp() noexcept {
    if (::IsDebuggerPresent()) return true;
    const UniqueKernelHandle buffer{::OpenFileMappingW(FILE_MAP_READ, FALSE, L"DBWIN_BUFFER")};
    return static_cast<bool>(buffer);
}

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
    const std::uint64_t end = ::GetTickCount64();
    if (end > start && SomeoneCanHoldWritesUp()) g_messageLines.Wrote(start, end);
}

}  // namespace orvane
