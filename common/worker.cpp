#include "common/worker.hpp"

#include <new>

#include "common/fault_points.hpp"

// The linker's name for the start of this module's image; its address is the module's handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace orvane {
namespace {

volatile LONG g_runningWorkers = 0;

struct WorkerStart {
    WorkerProc proc;
    void* argument;
    HMODULE pin;
};

DWORD WINAPI WorkerEntry(LPVOID parameter) {
    WorkerStart start = *static_cast<WorkerStart*>(parameter);
    delete static_cast<WorkerStart*>(parameter);
    start.proc(start.argument);
    ::InterlockedDecrement(&g_runningWorkers);
    // Leaving through the module's own reference is the only safe exit: after FreeLibrary returns,
    // the code of this function may be gone.
    ::FreeLibraryAndExitThread(start.pin, 0);
}

}  // namespace

HMODULE ThisModule() noexcept { return reinterpret_cast<HMODULE>(&__ImageBase); }

bool PinThisModule() noexcept {
    const auto* const address = reinterpret_cast<LPCWSTR>(&WorkerEntry);
    HMODULE module = nullptr;
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN, address,
                             &module)) {
        return true;
    }
    // A reference never given back does as much, short of a host that frees more than it loaded.
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, address, &module) != FALSE;
}

long RunningWorkers() noexcept { return g_runningWorkers; }

UniqueKernelHandle StartPinnedWorker(WorkerProc proc, void* argument) {
    HMODULE pin = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerEntry), &pin)) {
        return {};
    }
    auto* start = new (std::nothrow) WorkerStart{proc, argument, pin};
    if (start == nullptr) {
        ::FreeLibrary(pin);
        return {};
    }
    ::InterlockedIncrement(&g_runningWorkers);
    HANDLE thread =
        FaultHere(FaultKind::Thread) ? nullptr : ::CreateThread(nullptr, 0, &WorkerEntry, start, 0, nullptr);
    if (thread == nullptr) {
        ::InterlockedDecrement(&g_runningWorkers);
        delete start;
        ::FreeLibrary(pin);
        return {};
    }
    return UniqueKernelHandle(thread);
}

}  // namespace orvane
