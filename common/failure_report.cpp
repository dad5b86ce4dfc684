#include <windows.h>

#include <mutex>

#include "common/failure.hpp"
#include "common/fault_points.hpp"
#include "common/small_lock.hpp"
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

// The lines handed to the writer, and whether it is writing: any thread queues, the writer takes.
class LaterLines {
public:
    void Start() noexcept {
        const SmallLock::Hold guard(lock_);
        (void)Started();
    }

    void Push(const char* operation, Failure cause, std::uint32_t code) noexcept {
        HANDLE wake = nullptr;
        {
            const SmallLock::Hold guard(lock_);
            if (!Started()) return;
            // A line that finds no room is only counted, and waited for by nobody.
            if (queue_.Push(operation, cause, code)) ++pushed_;
            wake = wake_;
        }
        ::SetEvent(wake);
    }

    // The writer's loop: it never ends, as the process's other threads of the add-in do not.
    [[noreturn]] void Serve() noexcept {
        for (;;) {
            LineQueue::Line line{};
            bool have = false;
            {
                const SmallLock::Hold guard(lock_);
                have = queue_.Pop(line);
            }
            if (!have) {
                ::WaitForSingleObject(wake_, INFINITE);
                continue;
            }
            char text[kLineSize];
            Write(text, line.leftOut ? FormatLeftOut(text, sizeof text, line.operation, line.cause, line.code)
                                     : FormatFailure(text, sizeof text, line.operation, line.cause, line.code));
            if (!line.leftOut) {
                const SmallLock::Hold guard(lock_);
                ++written_;
            }
        }
    }

    bool WaitForWritten(std::uint32_t timeoutMs) noexcept {
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        std::uint64_t target = 0;
        {
            const SmallLock::Hold guard(lock_);
            if (!Started()) return true;
            target = pushed_;
        }
        for (;;) {
            {
                const SmallLock::Hold guard(lock_);
                if (written_ >= target) return true;
            }
            if (::GetTickCount64() >= deadline) return false;
            ::Sleep(1);
        }
    }

private:
    // Started on first need; a thread that could not be made leaves the lines lost.
    bool Started() noexcept ORVANE_REQUIRES(lock_) {
        if (wake_ != nullptr) return true;
        if (tried_) return false;
        tried_ = true;
        UniqueKernelHandle wake(FaultHere(FaultKind::Event) ? nullptr : ::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!wake) return false;
        // The event goes to the writer before it starts, and stays for the life of the process with it.
        wake_ = wake.get();
        const UniqueKernelHandle thread(FaultHere(FaultKind::Thread)
                                            ? nullptr
                                            : ::CreateThread(nullptr, std::size_t{64} * 1024, &Run, this,
                                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!thread) {
            wake_ = nullptr;
            return false;
        }
        (void)wake.release();
        return true;
    }
    static DWORD WINAPI Run(LPVOID self) { static_cast<LaterLines*>(self)->Serve(); }

    SmallLock lock_;
    LineQueue queue_ ORVANE_GUARDED_BY(lock_);
    // The writer's event, and the process's for good once made: set under the lock before the writer
    // starts, and read by the writer without it.
    HANDLE wake_ = nullptr;
    bool tried_ ORVANE_GUARDED_BY(lock_) = false;
    std::uint64_t pushed_ ORVANE_GUARDED_BY(lock_) = 0;
    std::uint64_t written_ ORVANE_GUARDED_BY(lock_) = 0;  // of those pushed, in order
};

LaterLines g_laterLines;

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

void ReportFailureLater(const char* operation, Failure cause, std::uint32_t code) noexcept {
    g_laterLines.Push(operation, cause, code);
}

void StartLaterLines() noexcept { g_laterLines.Start(); }

bool WaitForLaterLines(std::uint32_t timeoutMs) noexcept { return g_laterLines.WaitForWritten(timeoutMs); }

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
