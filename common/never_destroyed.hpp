// Storage for a process-wide record whose destructor must never run: at process exit the system ends
// the add-in's other threads wherever they are, perhaps inside the record, and the host's Lua state may
// be gone already, so what it holds is neither freed nor released then. Declared constinit where the
// record allows, so that it is there before any thread can ask.
#pragma once

namespace orvane {

template <class T>
class NeverDestroyed {
public:
    constexpr NeverDestroyed() noexcept : value_() {}
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    ~NeverDestroyed() {}  // NOLINT(modernize-use-equals-default): defaulted, the union would delete it

    // The one member, alive from construction on: reading it is what the union is for.
    constexpr T& Get() noexcept { return value_; }  // NOLINT(cppcoreguidelines-pro-type-union-access)

private:
    // A union's member is destroyed only by name, and nothing names it.
    union {
        T value_;
    };
};

}  // namespace orvane
