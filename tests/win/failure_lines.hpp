// The lines the add-in writes with OutputDebugString, caught in this process as DebugView would see
// them, by the stand-in host's keeper: from the first FailureLines on, every line any thread writes is
// kept until taken.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/failure.hpp"
#include "host/debug_output.hpp"

namespace orvane::testing {

class FailureLines {
public:
    FailureLines() {
        static const bool kept = [] {
            host::KeepDebugOutput();
            return true;
        }();
        static_cast<void>(kept);
        Take();
    }

    // The lines since the last call, without "Orvane: ": "GetTipsId: timed_out". Those other threads
    // handed to the add-in's writer are written first.
    std::vector<std::string> Take() {
        EXPECT_TRUE(WaitForLaterLines(10000));
        std::vector<std::string> lines = host::TakeDebugOutput();
        for (std::string& line : lines) {
            if (line.rfind("Orvane: ", 0) == 0) line.erase(0, 8);
        }
        return lines;
    }
};

}  // namespace orvane::testing
