// A script function to be called later, on the script thread. Other threads carry it and may drop it,
// but never read it; only the script thread takes, calls and unrefs it.
//
// The function often comes from a coroutine that may be suspended, dead or collected by the time of
// the call, and Lua 5.1 lets a function called on such a coroutine yield and leave it broken. So every
// function is called on a thread of the add-in's own, one per Lua state, kept in its registry.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "bridge/state_note.hpp"
#include "common/failure.hpp"

struct lua_State;

namespace orvane {

// A reference as the calling convention takes it off the stack. Plain values: Lua may raise (by
// longjmp, past every destructor) while it is held, so it is owned only once nothing can raise.
struct TakenCallback {
    constexpr TakenCallback() noexcept = default;
    constexpr TakenCallback(lua_State* on, std::int32_t reference, StateNote* of = nullptr) noexcept
        : state(on), ref(reference), note(of) {}
    static constexpr TakenCallback Refused(Failure why) noexcept {
        TakenCallback taken;
        taken.refused = why;
        return taken;
    }

    // The add-in's thread; where the runtime keeps no notes, the state the function came on.
    lua_State* state = nullptr;
    std::int32_t ref = 0;
    // Its state's note; none where the runtime cannot keep one.
    StateNote* note = nullptr;
    // Why none was taken: the function was popped and nothing else done.
    std::optional<Failure> refused;
};

// Script thread: takes the function at the top of L's stack (popping it) and names the thread to call
// it on; or refuses it, where its state may be closing or memory ran out for its note.
TakenCallback TakeCallback(lua_State* L) noexcept;

// The one owner of a taken reference, from the method call that took it to its one end: called once,
// or dropped. Dropped, it is unreffed at once where its state surely lives (on the thread that adopted
// it, with no close of the window since, its state not closed); otherwise its unref is deferred to the
// script thread's next entry from its state (StateNote::DeferUnref), or never done for a closed state,
// whose registry went with it. So whoever holds one, on whatever thread, may drop it on any path.
// Without a note nothing tells that a state lives and is not a new one at a closed one's address, so
// such a reference stays in its registry for good.
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

    // Script thread: calls the function with one text and no results wanted, then unrefs it, each
    // protected (runtime/protected_call.hpp); empty afterwards. A text that cannot be handed over (no
    // memory for it, or a finalizer raised on the way) is replaced by the empty text, as after any
    // failure: false then. The text is pushed from where it lies, as long as it says, and read only
    // before the function runs: its record may be gone by the time it ends. A zero byte must follow
    // it, for a runtime that pushes texts only up to their zero byte.
    bool CallOnce(std::string_view text) noexcept;

    // What a call that keeps the function (the speed-limit handler) pushes it from.
    const TakenCallback& Taken() const noexcept { return taken_; }

    // Any thread: whether it may still be called: no close of the window since it was adopted, and
    // its state not closed.
    bool Deliverable() const noexcept { return StateNote::Deliverable(taken_.note, epoch_); }
    // Script thread: whether its state may still be called, its note neither closed nor without its
    // thread (StateNote::ThreadKept). Dropped otherwise, it is only forgotten.
    bool StateLives() const noexcept { return taken_.note == nullptr || taken_.note->ThreadKept(); }

private:
    void UnrefNowOrLater() noexcept;

    TakenCallback taken_;
    std::uint32_t thread_ = 0;  // the thread that adopted it, the one that may touch its state
    std::uint32_t epoch_ = 0;   // closes of the window until then
};

}  // namespace orvane
