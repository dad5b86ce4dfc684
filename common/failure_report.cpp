#include <windows.h>

#include "common/failure.hpp"

namespace orvane {

void ReportFailure(const char* operation, Failure cause, std::uint32_t code) noexcept {
    char line[128];
    const std::size_t length = FormatFailure(line, sizeof line, operation, cause, code);
    // The line is ASCII, so each byte is its own UTF-16 unit.
    wchar_t wide[sizeof line];
    for (std::size_t i = 0; i <= length; ++i) wide[i] = static_cast<unsigned char>(line[i]);
    ::OutputDebugStringW(wide);
}

}  // namespace orvane
