// The handle kinds the add-in opens, each with the one function that closes it.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include "common/unique_handle.hpp"

namespace orvane {

namespace handle_traits {
struct Kernel {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};
struct Key {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::RegCloseKey(h); }
};
struct Find {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};
struct Socket {
    using type = SOCKET;
    static type invalid() noexcept { return INVALID_SOCKET; }
    static void close(type s) noexcept { ::closesocket(s); }
};
struct Internet {
    using type = HINTERNET;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::InternetCloseHandle(h); }
};
}  // namespace handle_traits

using unique_kernel_handle = unique_handle<handle_traits::Kernel>;
using unique_hkey = unique_handle<handle_traits::Key>;
using unique_find = unique_handle<handle_traits::Find>;
using unique_socket = unique_handle<handle_traits::Socket>;
using unique_hinternet = unique_handle<handle_traits::Internet>;

}  // namespace orvane
