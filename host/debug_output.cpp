#include "host/debug_output.hpp"

#include <windows.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

namespace orvane::host {
namespace {

// OutputDebugString raises this exception with the text; without a debugger the call handles it
// itself. Windows raises a wide one first where a handler may take it, and then this narrow one,
// which Wine raises alone: reading only this one reads every line once.
constexpr DWORD kDebugPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C

std::mutex g_lock;
std::deque<std::string> g_lines;

LONG CALLBACK Watch(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    if (record.ExceptionCode != kDebugPrintException || record.NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
    std::size_t length = static_cast<std::size_t>(record.ExceptionInformation[0]);
    if (text == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    length = strnlen(text, length);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
    try {
        std::string line(text, length);
        const std::lock_guard<std::mutex> guard(g_lock);
        if (g_lines.size() == kDebugLinesKept) g_lines.pop_front();
        g_lines.push_back(std::move(line));
    } catch (...) {
        // A line that finds no memory is lost, as DebugView loses what comes while it is busy.
    }
    // Whoever else watches (a debugger, DebugView, Wine's warn+seh channel) still gets the line.
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void KeepDebugOutput() { ::AddVectoredExceptionHandler(1, &Watch); }

std::vector<std::string> TakeDebugOutput() {
    const std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> lines(std::make_move_iterator(g_lines.begin()), std::make_move_iterator(g_lines.end()));
    g_lines.clear();
    return lines;
}

}  // namespace orvane::host
