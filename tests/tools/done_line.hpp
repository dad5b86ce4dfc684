// The last line of a helper tool: printed, and written to a done file when one was named, so that a
// host that must keep serving its messages can wait for the file instead of blocking on a pipe.
#pragma once

#include <cstdio>
#include <string>

namespace tool {

inline const char* g_doneFile = nullptr;

inline int Finish(const std::string& line, int status) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (g_doneFile != nullptr) {
        if (FILE* f = std::fopen(g_doneFile, "w")) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fclose(f);
        }
    }
    return status;
}

}  // namespace tool
