// The lines the add-in writes with OutputDebugString, caught in this process as DebugView would see
// them: while one of these lives, every line any thread writes is kept until taken.
#pragma once

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace orvane::testing {

class FailureLines {
public:
    FailureLines() : handler_(::AddVectoredExceptionHandler(1, &Catch)) { Take(); }
    ~FailureLines() { ::RemoveVectoredExceptionHandler(handler_); }
    FailureLines(const FailureLines&) = delete;
    FailureLines& operator=(const FailureLines&) = delete;

    // The lines since the last call, without "Orvane: " and the line end: "GetTipsId: timed_out".
    std::vector<std::string> Take() {
        const std::lock_guard<std::mutex> guard(Lock());
        return std::move(Lines());
    }

private:
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static LONG CALLBACK Catch(EXCEPTION_POINTERS* exception) {
        const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
        if (record.ExceptionCode != 0x40010006 || record.NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
        std::string line(reinterpret_cast<const char*>(record.ExceptionInformation[1]));
        if (line.rfind("Orvane: ", 0) == 0) line.erase(0, 8);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        const std::lock_guard<std::mutex> guard(Lock());
        Lines().push_back(std::move(line));
        return EXCEPTION_CONTINUE_SEARCH;
    }

    PVOID handler_;
};

}  // namespace orvane::testing
