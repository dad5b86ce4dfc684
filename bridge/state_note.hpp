// What the add-in knows of one Lua state: a main thread and its coroutines, which share one registry
// and die together at lua_close. Every callback reference taken in the state holds its note, so that
// any thread can ask whether the reference may still be called or unreffed, and nothing of a closed
// state is ever touched.
//
// The note learns of the close from a sentinel: a full user data in the state's registry whose __gc
// lua_close runs. Lua 5.1 finalizes only the user data that lived when lua_close began, so a sentinel
// made inside one of the close's own finalizers would never be finalized, and its state would look
// open for good. So a state gets its note, and keeps callbacks, only once a call from its main thread,
// outside any finalizer or hook, has shown it running: lua_close runs every
// finalizer on the main thread with hooks disabled, so such a call cannot come from inside it, and a
// sentinel that existed then is finalized by the close. Until then a method that takes a callback
// answers as a failure (state_may_be_closing). A coroutine cannot tell whether the main thread below
// it is in a finalizer, so only the main thread confirms.
//
// A script may reach the registry through the debug library. The add-in knows its sentinels by their
// addresses, not by what the registry holds, and finds its own thread still there before it starts
// anything on it, so a script that takes either out, or puts something else in, has its state's note
// told closed: what it kept is never called, and its references stay in the registry. (Taken out,
// both are made anew at the next call, with a note of their own.) Beyond it: a script that takes the
// sentinel's finalizer away (debug.setmetatable), or that takes the thread out while a callback runs
// on it and then collects from a coroutine, which marks only the thread it runs on. Lua 5.1's debug
// library breaks any C library's assumptions in such ways, those of Lua's own io library too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/failure.hpp"
#include "common/intrusive_list.hpp"
#include "common/small_lock.hpp"

struct lua_State;

namespace orvane {

// A reference whose unref waits for the script thread's next entry from its state.
struct DeferredUnref {
    int ref = 0;
    ListLink<DeferredUnref> link;
};
using DeferredUnrefs = IntrusiveList<DeferredUnref, &DeferredUnref::link>;

class StateNote {
public:
    StateNote(const StateNote&) = delete;
    StateNote& operator=(const StateNote&) = delete;

    // Any thread: each callback reference holds the note, and the sentinel's record holds it until the
    // close.
    void Hold() noexcept { holders_.fetch_add(1, std::memory_order_relaxed); }
    void Let() noexcept;

    // Any thread: lua_close has run the sentinel's finalizer; nothing of the state may be called or
    // unreffed any more.
    bool Closed() const noexcept { return closed_.load(std::memory_order_acquire); }

    // Any thread: the reference is unreffed at the script thread's next entry from this state, or goes
    // with the state if it closes first; a reference of a closed state is only forgotten. Without
    // memory for its record the reference stays in the registry for good.
    void DeferUnref(int ref) noexcept;

    // Script thread, of a note whose state may not have closed: whether its registry still holds the
    // add-in's thread, which nothing else keeps alive. A script with the debug library can take it
    // out, and the collector may free it then; the note is closed from then on, and what it kept goes
    // uncalled and is only forgotten.
    bool ThreadKept() noexcept;

    // Script thread.
    [[gnu::always_inline]] bool HasDeferred() const noexcept {
        return deferredCount_.load(std::memory_order_relaxed) != 0;
    }

    // The close epoch: whenever the window answers go to is closed or gone, the host may close any
    // state at any time after, so a reference adopted before may belong to a closed state that no
    // note tells of (a runtime without the entries a note needs). Counted on the script thread, read
    // by any thread.
    static std::uint32_t Epoch() noexcept { return epoch_.load(); }
    static void EndEpoch() noexcept;

    // Whether a reference adopted in epoch `adopted`, of `note`'s state (none where the runtime keeps
    // no notes), may still be called: no close of the window since, and its state not closed.
    static bool Deliverable(const StateNote* note, std::uint32_t adopted) noexcept {
        return adopted == Epoch() && (note == nullptr || !note->Closed());
    }
    // Whether it may be unreffed now by the thread asking, which adopted it on `adoptingThread`: its
    // state surely lives, as it runs on this very thread, and no close of the window gave the host
    // a moment to close it unseen.
    static bool CanUnrefHere(const StateNote* note, std::uint32_t adopted, std::uint32_t adoptingThread) noexcept;

    // Script thread, on entry from a script running on L: L's state's note, made at its first call
    // (which may raise, as the call may), with the unrefs deferred in it done.
    struct Entry {
        StateNote* note = nullptr;       // none where the runtime cannot keep one
        lua_State* thread = nullptr;     // the add-in's thread in the state, on which callbacks run
        std::optional<Failure> refused;  // why no callback of this state may be kept now
    };
    static Entry Enter(lua_State* L) noexcept;

    // Unrefs deferred in every state and not yet done.
    static std::size_t UnrefsWaiting() noexcept;

    // The last main thread confirmed, and its note: the script call's common path compares L with it.
    // Cleared when that state closes, before its memory can be reused.
    struct Recent {
        lua_State* main = nullptr;
        StateNote* note = nullptr;
    };
    static Recent recent_;  // script thread only

private:
    StateNote(lua_State* thread, lua_State* main) noexcept : thread_(thread), main_(main) {}
    ~StateNote() = default;
    friend struct NoteMaker;

    void Close() noexcept;
    void MarkClosed() noexcept;
    void UnrefDeferred() noexcept;
    DeferredUnrefs TakeDeferred() noexcept ORVANE_REQUIRES(deferLock_);
    static Entry Entered(StateNote* note) noexcept;
    static Entry EnterSlowly(lua_State* L) noexcept;
    static int SentinelFinalized(lua_State* L);

    std::atomic<long> holders_{1};  // the sentinel record's
    std::atomic<bool> closed_{false};
    lua_State* const thread_;
    lua_State* const main_;  // seen running, outside any finalizer, when the note was made
    // Every note's deferred unrefs: any thread defers, the script thread unrefs, and the thread that
    // runs a state's close forgets that state's.
    static SmallLock deferLock_;
    static std::size_t deferredWaiting_ ORVANE_GUARDED_BY(deferLock_);
    DeferredUnrefs deferred_ ORVANE_GUARDED_BY(deferLock_);
    std::atomic<std::size_t> deferredCount_{0};  // changed under the lock, read without it

    static std::atomic<std::uint32_t> epoch_;
};

// Script thread, on entry from a script running on L. Inline, even in the size-optimised module,
// since every script call asks and nearly always finds its state the one it found last, with nothing
// deferred: one compare and one load.
[[gnu::always_inline]] inline void EnterFromScript(lua_State* L) noexcept {
    const StateNote::Recent& recent = StateNote::recent_;
    if (L != recent.main || recent.note->HasDeferred()) (void)StateNote::Enter(L);
}

}  // namespace orvane
