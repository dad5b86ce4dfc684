#include "net/async_request.hpp"

#include <memory>
#include <new>

#include "bridge/message_window.hpp"

namespace orvane {

void StartRequestWorker(const std::string& first, const std::string& second, CallbackRef callback, WorkerProc proc,
                        WorkerStarter start) noexcept {
    std::unique_ptr<AsyncRequest> request;
    try {
        request = std::make_unique<AsyncRequest>(AsyncRequest{first, second, callback});
    } catch (...) {
        ReleaseCallback(callback);
        return;
    }
    if (start(proc, request.get())) {
        (void)request.release();  // the worker owns it now
        return;
    }
    request.reset();
    ReleaseCallback(callback);
}

void CompleteRequest(void* argument, RequestExchange exchange) noexcept {
    const std::unique_ptr<AsyncRequest> request(static_cast<AsyncRequest*>(argument));
    std::string answer;
    try {
        answer = exchange(request->first, request->second);
    } catch (...) {
        // Out of memory mid-exchange is one more failure: the script still hears back, with nothing.
        answer.clear();
    }
    try {
        // Blocks until the callback has run on the script thread, so the record outlives its use there.
        DeliverToScript(request->callback, answer);
    } catch (...) {
        // The reference can only be released on the script thread; an undeliverable answer leaves it.
    }
}

}  // namespace orvane
