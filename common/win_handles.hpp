// One owning wrapper for every kind of OS handle the add-in opens: business code never calls a close
// function, so every early return releases what was opened. A kind is one line: the handle type, the
// function that closes it and, where it is not zero, the empty value as an integer (-1 cannot be
// written as a handle in a template argument).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace orvane {

template <class Handle, auto Close, std::intptr_t Empty = 0>
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != empty(); }
    // The caller takes the handle over: dropping it would leak it.
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, empty()); }
    // Keeps the thread's last error: a caller that closes on its way out of a failure still reports
    // the failure's own error, not what the close did.
    void reset(Handle handle = empty()) noexcept {
        const Handle old = std::exchange(handle_, handle);
        if (old == empty()) return;
        const DWORD error = ::GetLastError();
        Close(old);
        ::SetLastError(error);
    }
    // For out-parameters of APIs that create a handle.
    Handle* put() noexcept {
        reset();
        return &handle_;
    }

private:
    static Handle empty() noexcept {
        if constexpr (std::is_pointer_v<Handle>) {
            return reinterpret_cast<Handle>(Empty);
        } else {
            return static_cast<Handle>(Empty);
        }
    }

    Handle handle_ = empty();
};

using UniqueKernelHandle = UniqueHandle<HANDLE, ::CloseHandle>;
using UniqueKey = UniqueHandle<HKEY, ::RegCloseKey>;
using UniqueFind = UniqueHandle<HANDLE, ::FindClose, -1>;      // INVALID_HANDLE_VALUE
using UniqueSocket = UniqueHandle<SOCKET, ::closesocket, -1>;  // INVALID_SOCKET
using UniqueInternet = UniqueHandle<HINTERNET, ::InternetCloseHandle>;

}  // namespace orvane
