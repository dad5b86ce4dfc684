// One owning wrapper for every kind of OS handle: business code never calls a close function, so
// every early return releases what was opened. Traits name the handle type, its empty value (some
// kinds use -1, which cannot be a template argument) and the one function that closes it.
#pragma once

#include <utility>

namespace orvane {

template <class Traits>
class unique_handle {
public:
    using handle_type = typename Traits::type;

    unique_handle() noexcept = default;
    explicit unique_handle(handle_type handle) noexcept : handle_(handle) {}
    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() { reset(); }

    handle_type get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }
    handle_type release() noexcept { return std::exchange(handle_, Traits::invalid()); }
    void reset(handle_type handle = Traits::invalid()) noexcept {
        handle_type old = std::exchange(handle_, handle);
        if (old != Traits::invalid()) Traits::close(old);
    }
    // For out-parameters of APIs that create a handle.
    handle_type* put() noexcept {
        reset();
        return &handle_;
    }

private:
    handle_type handle_ = Traits::invalid();
};

}  // namespace orvane
