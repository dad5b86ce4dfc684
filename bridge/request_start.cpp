#include "bridge/request_start.hpp"

#include <new>
#include <utility>

#include "bridge/deliveries.hpp"
#include "common/thread_checks.hpp"

namespace orvane {

std::unique_ptr<Request> StartRequest(const char* operation, CallbackRef callback) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (!DeliveriesOpen()) {
        ReportFailure(operation, Failure::WindowClosed);
        return nullptr;
    }
    std::unique_ptr<Request> request(new (std::nothrow) Request(operation, std::move(callback)));
    if (!request) ReportFailure(operation, Failure::NoMemory);
    return request;
}

void RefuseRequest(std::unique_ptr<Request> request, Failure cause) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (!request) return;
    request->Fail(cause);
    DeliverSoon(std::move(request));
}

}  // namespace orvane
