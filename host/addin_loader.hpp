// Getting the add-in object as the download manager does: through COM when its class is registered,
// otherwise by loading the module itself; then starting it. What the host got is kept in g_addin,
// which the host table reports on and lets a script let go of.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "addin/interfaces.h"

namespace orvane::host {

struct LoadedAddin {
    IHostedAddin* object = nullptr;  // null once released
    HMODULE module = nullptr;        // null once freed
    std::wstring modulePath;         // only when the host loaded the module itself
    std::string path;                // UTF-8: as loaded, or as registered
    bool startupCalled = false;
    HRESULT startupResult = S_OK;
};
extern LoadedAddin g_addin;

// From explicitPath; without one, through COM when the class is registered and otherwise from
// Orvane.dll beside the exe. Ends the process with status 2 when no object comes of it.
void createAddin(const std::wstring& explicitPath);
// Calls Startup(NULL) `times` times; a failure is reported on stderr and the host goes on.
void startAddin(int times);
// Gives up the host's reference: what Release reported, nothing when it was given up already.
std::optional<ULONG> releaseAddin();

std::string hresultText(HRESULT hr);
[[noreturn]] void fail(const std::string& message);
// The folder of the running exe, with its trailing separator.
std::wstring exeFolder();

template <typename Function>
Function procAddress(HMODULE module, const char* name) {
    // Through the one function type the compiler accepts as a stand-in for any other.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace orvane::host
