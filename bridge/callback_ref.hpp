// A script function to be called later, on the script thread. Other threads carry it and may drop it,
// but never read it; only the script thread takes, calls and releases it.
//
// The function often comes from a coroutine that may be suspended, dead or collected by the time of
// the call, and Lua 5.1 lets a function called on such a coroutine yield and leave it broken. So every
// function is called on a thread of the add-in's own, one per Lua universe, kept in its registry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct lua_State;

namespace orvane {

// A reference as the calling convention takes it off the stack. Plain values: Lua may raise (by
// longjmp, past every destructor) while it is held, so it is owned only once nothing can raise.
struct TakenCallback {
    // The add-in's thread; where the runtime cannot make one, the state the function came on.
    lua_State* state = nullptr;
    std::int32_t ref = 0;
    // Which Lua universe the reference belongs to, never the same for two, even at one address one
    // after the other; 0 where the runtime cannot make the add-in's thread.
    std::uint32_t universe = 0;
};

// Takes the function at the top of L's stack (popping it) and names the thread to call it on.
TakenCallback TakeCallback(lua_State* L) noexcept;

// The one owner of a taken reference, from the method call that took it to its one end: called once,
// or dropped. Dropped, it goes at once where that is safe (on the thread that adopted it, with no close
// of the window answers go to since, in a universe not closed), and otherwise it is let go of: it
// waits, with no more memory than its own, until the script thread next comes in on its universe
// (ReleaseLetGo), and goes with the universe if the host closes it first, never released. So whoever
// holds one, on whatever thread, may drop it on any path. Without universe numbers nothing tells that
// a universe lives and is not a new one at a closed one's address, so a reference let go of there
// stays in its registry for good.
class CallbackRef {
public:
    constexpr CallbackRef() noexcept = default;
    // On the script thread, once nothing can raise any more.
    explicit CallbackRef(TakenCallback taken) noexcept;
    CallbackRef(CallbackRef&& other) noexcept;
    CallbackRef& operator=(CallbackRef&& other) noexcept;
    CallbackRef(const CallbackRef&) = delete;
    CallbackRef& operator=(const CallbackRef&) = delete;
    ~CallbackRef();

    explicit operator bool() const noexcept { return taken_.state != nullptr; }

    // Script thread: calls the function with one text and no results wanted, then releases it, each
    // protected (runtime/protected_call.hpp); empty afterwards. A text that cannot be handed over (no
    // memory for it, or a finalizer raised on the way) is replaced by the empty text, as after any
    // failure: false then. The text is pushed from where it lies, as long as it says, and read only
    // before the function runs: its record may be gone by the time it ends. A zero byte must follow
    // it, for a runtime that pushes texts only up to their zero byte.
    bool CallOnce(std::string_view text) noexcept;

    // What a call that keeps the function (the speed-limit handler) pushes it from.
    const TakenCallback& Taken() const noexcept { return taken_; }

    // Adopted before the last close of the window answers go to: its universe may be closed since.
    bool AdoptedBeforeLastClose() const noexcept;
    // Any thread: its universe is known to be closed (the host closed that Lua state), so nothing of
    // it may be called or released any more; dropped, it is forgotten.
    bool UniverseClosed() const noexcept;

private:
    void Drop() noexcept;

    TakenCallback taken_;
    std::uint32_t thread_ = 0;  // the thread that adopted it, the one that may touch its universe
    std::uint32_t closes_ = 0;  // closes of the window until then
};

// Script thread, at a close of the window answers go to, seen as its WM_CLOSE or as its end without
// one: every reference adopted until now may outlive its universe from here on.
void NoteWindowClosed() noexcept;

// Whether a universe's close is seen (at lua_close), so that a reference of a closed one is never
// called: false where the runtime lacks what the add-in's note in each universe needs.
bool UniverseClosesSeen() noexcept;

// References let go of in universes still open and not yet released. While there are any, every
// script call looks for its own universe's among them.
std::size_t LetGoWaiting() noexcept;

namespace detail {
// LetGoWaiting's count: kept under the lists' lock, read without it by every script call.
extern std::atomic<std::size_t> g_waiting;
// Whether L's universe has its box and thread already, read from its own registry at every call: a state's
// address may have been a closed universe's, so nothing kept by address can tell.
bool HasBox(lua_State* L) noexcept;
void ReleaseLetGoNow(lua_State* L) noexcept;
}  // namespace detail

// Script thread, on entry from a script running on L: gives L's universe its note on its first call
// (which may raise, as the call may), and releases what was let go of in it. Inline even in the
// size-optimised module, since every script call asks and nearly always finds nothing: a call of its
// own was the binding's largest cost.
[[gnu::always_inline]] inline void ReleaseLetGo(lua_State* L) noexcept {
    if (detail::g_waiting.load(std::memory_order_relaxed) != 0 || !detail::HasBox(L)) detail::ReleaseLetGoNow(L);
}

}  // namespace orvane
