// One asynchronous script request on its way to a worker thread and back. The script thread creates
// it; from the moment the worker starts, the worker owns it and frees it once the answer has been
// delivered, since the delivery reads the callback out of this very record.
#pragma once

#include <string>

#include "bridge/callback_ref.hpp"
#include "common/worker.hpp"

namespace orvane {

struct AsyncRequest {
    std::string first;
    std::string second;
    CallbackRef callback;
};

using WorkerStarter = bool (*)(WorkerProc proc, void* argument);

// Script thread: hands the two texts and the callback to a new detached worker running proc. When no
// worker can be started the request is dropped there and then, its record freed and the callback's
// reference released, because no delivery will ever come to release it.
void StartRequestWorker(const std::string& first, const std::string& second, CallbackRef callback, WorkerProc proc,
                        WorkerStarter start = &StartDetachedWorker) noexcept;

// The question a worker asks its service; the empty text stands for every failure.
using RequestExchange = std::string (*)(const std::string& first, const std::string& second);

// Worker thread: runs the exchange for the request it was given, delivers the answer to the script
// thread (exactly one callback call, with the empty text after any failure) and frees the request.
void CompleteRequest(void* request, RequestExchange exchange) noexcept;

}  // namespace orvane
