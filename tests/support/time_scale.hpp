// ORVANE_TIME_SCALE (a whole number, 1 when unset) stretches the tests' own waits where programs run
// several times slower than the waits were sized for (the i686 guest under full-system emulation).
// The add-in's own limits are what the tests check, and are never stretched.
#pragma once

#include <windows.h>

#include <cstdlib>

namespace orvane::test {

inline DWORD TimeScaled(DWORD ms) {
    char text[16] = {};
    const DWORD length = ::GetEnvironmentVariableA("ORVANE_TIME_SCALE", text, sizeof text);
    const unsigned long scale = length > 0 && length < sizeof text ? std::strtoul(text, nullptr, 10) : 1;
    return scale > 1 ? ms * static_cast<DWORD>(scale) : ms;
}

}  // namespace orvane::test
