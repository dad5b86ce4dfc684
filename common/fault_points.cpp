// The fault points of the build for tests, and the entries its run arms them with. Never part of the
// shipped module.
#include "common/fault_points.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace orvane {
namespace {

constexpr const char* kNames[kFaultKinds] = {
    "allocation", "answer_buffer", "socket", "bind",  "port_association", "connect_ex",   "receive",
    "send",       "post_message",  "thread", "event", "lookup_worker",    "registry_ref",
};

std::atomic<int> g_armed{-1};    // the kind armed, -1 for none
std::atomic<long> g_failAt{0};   // which of its points fails, counted from 1
std::atomic<long> g_reached{0};  // its points reached since it was armed

}  // namespace

bool FaultHere(FaultKind kind) noexcept {
    if (g_armed.load(std::memory_order_relaxed) != static_cast<int>(kind)) return false;
    return g_reached.fetch_add(1) + 1 == g_failAt.load();
}

}  // namespace orvane

// Every allocation of the module goes through here, so that the Nth can fail as the heap would. The
// replacement of the global allocator is the one place the heap is asked directly.
// NOLINTBEGIN(cppcoreguidelines-no-malloc)
void* operator new(std::size_t size) {
    if (orvane::FaultHere(orvane::FaultKind::Allocation)) throw std::bad_alloc();
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
// NOLINTEND(cppcoreguidelines-no-malloc)

// Arms the kind named (FaultKind, in lower case), so that its nth point from now on fails; n = 0
// disarms. 0 for a name it does not know.
extern "C" int OrvaneArmFault(const char* kind, long n) {
    orvane::g_armed.store(-1);
    for (std::size_t i = 0; i < orvane::kFaultKinds; ++i) {
        if (kind != nullptr && std::strcmp(kind, orvane::kNames[i]) == 0) {
            orvane::g_reached.store(0);
            orvane::g_failAt.store(n);
            if (n > 0) orvane::g_armed.store(static_cast<int>(i));
            return 1;
        }
    }
    return 0;
}

// The points of the armed kind reached since it was armed: fewer than n, and its fault was not hit.
extern "C" long OrvaneFaultsReached() { return orvane::g_reached.load(); }
