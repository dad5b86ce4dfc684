// The deliveries a worker of ours is sending to the message window right now. The window procedure
// dereferences the addresses of a delivery message only when the pair is one of these: the message
// numbers are public, and another process can send anything with them.
#pragma once

#include <cstddef>
#include <vector>

#include "common/small_lock.hpp"

namespace orvane {

class PendingDeliveries {
public:
    // Worker side, before the send.
    void Add(const void* callback, const void* result);
    // True exactly once for a pair that was added: the window side takes it to deliver, the worker
    // side takes what is left after its send to learn that nobody delivered it.
    bool Take(const void* callback, const void* result);
    std::size_t Size() const;

private:
    struct Entry {
        const void* callback;
        const void* result;
    };
    mutable SmallLock lock_;
    std::vector<Entry> entries_;
};

}  // namespace orvane
