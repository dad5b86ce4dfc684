// Threads that outlive the script call which started them. Each holds a reference on the add-in's
// module for as long as it runs, so unloading the add-in never pulls the code out from under a worker.
#pragma once

#include <windows.h>

#include "common/win_handles.hpp"

namespace orvane {

// The module this code is linked into (the add-in, or a test program that links the same sources).
HMODULE ThisModule() noexcept;

// Keeps the module mapped until the process ends, whatever its host frees; false when it cannot.
bool PinThisModule() noexcept;

// Workers still running; part of the module's reasons not to unload.
long RunningWorkers() noexcept;

using WorkerProc = void (*)(void* argument);

// Starts proc(argument) on a new thread that keeps the module loaded until it ends. The thread owns
// the argument from the moment it starts. Returns the thread's handle, or an empty handle when the
// thread could not be started, in which case proc never runs and the caller still owns the argument.
UniqueKernelHandle StartPinnedWorker(WorkerProc proc, void* argument);

}  // namespace orvane
