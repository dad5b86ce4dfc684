// Storage for a process-wide record whose destructor must never run: at process exit the system ends
// the add-in's other threads wherever they are, perhaps inside the record, and the host's universe may
// be gone already, so what it holds is neither freed nor released then. Constant-initialised, so it is
// there before any thread can ask.
#pragma once

namespace orvane {

template <class T>
union NeverDestroyed {
    constexpr NeverDestroyed() noexcept : value() {}
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;
    ~NeverDestroyed() {}  // NOLINT(modernize-use-equals-default): = default would destroy the value

    T value;
};

}  // namespace orvane
