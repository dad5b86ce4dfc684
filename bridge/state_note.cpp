#include "bridge/state_note.hpp"

#include <windows.h>

#include <mutex>
#include <new>
#include <utility>

#include "common/small_lock.hpp"
#include "common/thread_checks.hpp"
#include "runtime/optional_entries.hpp"
#include "runtime/protected_call.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {

std::atomic<std::uint32_t> StateNote::epoch_{0};
SmallLock StateNote::deferLock_;
std::size_t StateNote::deferredWaiting_ = 0;
StateNote::Recent StateNote::recent_;

namespace {

// Their addresses are registry keys no script can name: of the add-in's thread in the state, and of
// the sentinel whose finalizer tells of the close.
char kThreadKey = 0;
char kSentinelKey = 0;

void* KeyOf(char& key) { return &key; }

// The sentinels made and not yet finalized, known by their blocks' addresses alone. A script with the
// debug library can take a sentinel out of the registry, put other user data in its place, or call
// the finalizer with any user data, so nothing the state holds tells a sentinel, and its block holds
// nothing: what the add-in knows of it lives here, where no script reaches. Script thread, but under
// a lock, since a host that breaks the rule may close a state from another.
struct SentinelRecord {
    const void* block = nullptr;
    lua_State* thread = nullptr;  // made with it: the one a note of its state runs callbacks on
    StateNote* note = nullptr;    // null until the state is seen running
    ListLink<SentinelRecord> link;
};
SmallLock g_sentinelLock;
using SentinelRecords = IntrusiveList<SentinelRecord, &SentinelRecord::link>;
SentinelRecords g_sentinels ORVANE_GUARDED_BY(g_sentinelLock);

// The newest record of that block: one whose sentinel the close freed unfinalized (its finalizer
// raised) may name a block a later sentinel has.
SentinelRecord* RecordOf(const void* block) ORVANE_REQUIRES(g_sentinelLock) {
    if (block == nullptr) return nullptr;
    for (SentinelRecord* record = g_sentinels.First(); record != nullptr; record = SentinelRecords::Later(*record)) {
        if (record->block == block) return record;
    }
    return nullptr;
}

void* Registered(lua_State* L, char& key, bool thread) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    lua.pushlightuserdata(L, KeyOf(key));
    lua.rawget(L, lua::kRegistryIndex);
    void* value = thread ? static_cast<void*>(lua.tothread(L, -1)) : lua_touserdata(L, -1);
    PopValues(L, 1);
    return value;
}

const void* SentinelOf(lua_State* L) noexcept { return Registered(L, kSentinelKey, false); }
lua_State* ThreadOf(lua_State* L) noexcept { return static_cast<lua_State*>(Registered(L, kThreadKey, true)); }

// registry[key] = the value at index (below the top).
void Store(lua_State* L, char& key, int index) {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    lua.pushlightuserdata(L, KeyOf(key));
    lua.pushvalue(L, index - 1);
    lua.rawset(L, lua::kRegistryIndex);
}

// ---- whether a script runs on L, rather than a finalizer or a hook --------------------------------

bool g_hookCalled = false;  // script thread

void NoteHookCalled(lua_State* /*L*/, lua_Debug* /*ar*/) { g_hookCalled = true; }
int Nothing(lua_State* /*L*/) { return 0; }

// Lua calls no hook while it runs a finalizer or a hook on that thread, whatever hooks are set: a call
// hook set here for one call of a C function runs only where neither runs. The host's own hook is
// put back as it was.
bool HooksRun(lua_State* L) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    const lua_Hook hook = lua.gethook(L);
    const int mask = lua.gethookmask(L);
    const int count = lua.gethookcount(L);
    g_hookCalled = false;
    lua.sethook(L, &NoteHookCalled, lua::kMaskCall, 0);
    // It fails only where Lua found no memory for the call, which leaves the error on the stack.
    const bool called = lua.cpcall(L, &Nothing, nullptr) == 0;
    if (!called) PopValues(L, 1);
    lua.sethook(L, hook, mask, count);
    return called && g_hookCalled;
}

// The main thread outside any finalizer or hook: lua_close runs its finalizers there with hooks off.
bool ScriptRunsOnMainThread(lua_State* L) noexcept {
    const bool main = RuntimeOptionalEntries().pushthread(L) == 1;
    PopValues(L, 1);
    return main && HooksRun(L);
}

}  // namespace

// Made where the sentinel is: a friend, so that only the sentinel's maker makes notes.
struct NoteMaker {
    static StateNote* Make(lua_State* thread, lua_State* main) noexcept {
        return new (std::nothrow) StateNote(thread, main);
    }
};

void StateNote::Let() noexcept {
    if (holders_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void StateNote::EndEpoch() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    epoch_.fetch_add(1);
}

bool StateNote::CanUnrefHere(const StateNote* note, std::uint32_t adopted, std::uint32_t adoptingThread) noexcept {
    return adoptingThread == static_cast<std::uint32_t>(::GetCurrentThreadId()) && Deliverable(note, adopted);
}

void StateNote::DeferUnref(int ref) noexcept {
    auto* node = new (std::nothrow) DeferredUnref{ref, {}};
    if (node == nullptr) return;
    {
        const SmallLock::Hold guard(deferLock_);
        if (!Closed()) {
            deferred_.PushBack(*node);
            deferredCount_.fetch_add(1, std::memory_order_relaxed);
            ++deferredWaiting_;
            return;
        }
    }
    // Its state closed already, and its registry with it.
    delete node;
}

std::size_t StateNote::UnrefsWaiting() noexcept {
    const SmallLock::Hold guard(deferLock_);
    return deferredWaiting_;
}

DeferredUnrefs StateNote::TakeDeferred() noexcept {
    deferredWaiting_ -= deferredCount_.exchange(0, std::memory_order_relaxed);
    return deferred_.TakeAll();
}

namespace {
void UnrefWork(lua_State* L, void* context) { luaL_unref(L, lua::kRegistryIndex, *static_cast<int*>(context)); }
}  // namespace

StateNote::Entry StateNote::Entered(StateNote* note) noexcept {
    if (!note->ThreadKept()) return Entry{nullptr, nullptr, Failure::StateMayBeClosing};
    if (!note->HasDeferred()) return Entry{note, note->thread_, std::nullopt};
    // Unreffing runs Lua, whose collection step may run what is left of the state's close, the
    // sentinel's finalizer among it: the note is held meanwhile, and once closed keeps nothing.
    note->Hold();
    note->UnrefDeferred();
    const Entry entry =
        note->Closed() ? Entry{nullptr, nullptr, Failure::StateMayBeClosing} : Entry{note, note->thread_, std::nullopt};
    // An open state's sentinel holds the note too, so this is never its last holder while the entry
    // names it.
    note->Let();
    return entry;
}

void StateNote::UnrefDeferred() noexcept {
    DeferredUnrefs waiting = [this] {
        const SmallLock::Hold guard(deferLock_);
        return TakeDeferred();
    }();
    while (DeferredUnref* node = waiting.PopFront()) {
        // Those of a state that closed meanwhile went with its registry.
        if (!Closed()) RunProtected(thread_, &UnrefWork, &node->ref);
        delete node;
    }
}

void StateNote::Close() noexcept {
    DeferredUnrefs forgotten = [this] {
        const SmallLock::Hold guard(deferLock_);
        closed_.store(true, std::memory_order_release);
        return TakeDeferred();
    }();
    while (DeferredUnref* node = forgotten.PopFront()) delete node;
    if (recent_.note == this) recent_ = Recent{};
}

// The sentinel's record lets go of the note once the state closed; the note may have been closed
// before, when its thread was taken away.
void StateNote::MarkClosed() noexcept {
    Close();
    Let();
}

bool StateNote::ThreadKept() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (Closed()) return false;
    // The main thread lives as long as the state, and the registry is read without running Lua.
    if (ThreadOf(main_) == thread_) return true;
    Close();
    return false;
}

// The sentinel's finalizer: the state is closing, and with it every reference of its registry. Only a
// sentinel the add-in made counts, once; a script that calls the finalizer with its state's own
// sentinel (through the debug library) has its callbacks refused from then on, as after a close.
int StateNote::SentinelFinalized(lua_State* L) {
    const void* const block = lua_touserdata(L, 1);
    StateNote* note = nullptr;
    {
        const SmallLock::Hold guard(g_sentinelLock);
        SentinelRecord* record = RecordOf(block);
        if (record == nullptr) return 0;
        note = record->note;
        g_sentinels.Remove(*record);
        delete record;
    }
    if (note != nullptr) note->MarkClosed();
    return 0;
}

namespace {
// L's sentinel and the add-in's thread, made on first need. Both are made before anything is stored:
// making them may take a collection step, and a finalizer that step runs may enter the state itself
// and so make them first; those stay the state's. Each waits on L's stack, where an error raised on
// the way leaves nothing behind, and both are stored before any note is made, as storing may raise:
// once made, a note is never left unfound.
// The add-in's thread in a state that can keep no note: stored on first need, as the sentinel's is.
lua_State* KeptThread(lua_State* L) noexcept {
    if (lua_State* kept = ThreadOf(L)) return kept;
    lua_State* const made = RuntimeOptionalEntries().newthread(L);
    Store(L, kThreadKey, -1);
    PopValues(L, 1);
    return made;
}

// The sentinel the registry holds once made, or null where no memory was left for its record.
const void* MadeSentinel(lua_State* L, lua_CFunction finalizer) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    lua_State* const thread = lua.newthread(L);
    void* const block = lua.newuserdata(L, 1);
    lua.createtable(L, 0, 1);
    lua_pushstring(L, "__gc");
    lua.pushcclosure(L, finalizer, 0);
    lua.rawset(L, -3);
    lua.setmetatable(L, -2);
    // Recorded once nothing more can raise before the record is linked: a sentinel without one is
    // finalized as any user data. A finalizer run by a step of the allocations above finds this one
    // unrecorded, and reachable from L's stack, so not finalized.
    auto* record = new (std::nothrow) SentinelRecord{block, thread, nullptr, {}};
    if (record == nullptr) {
        PopValues(L, 2);
        return nullptr;
    }
    {
        const SmallLock::Hold guard(g_sentinelLock);
        g_sentinels.InsertAfter(nullptr, *record);
    }
    if (ThreadOf(L) == nullptr) {
        Store(L, kSentinelKey, -1);
        Store(L, kThreadKey, -2);
    }
    PopValues(L, 2);
    return SentinelOf(L);
}
}  // namespace

StateNote::Entry StateNote::EnterSlowly(lua_State* L) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    // Without the entries a note takes, nothing tells one state from another: callbacks run on the
    // add-in's thread where one can be kept, else on the state they came on.
    if (!lua.CanKeepNotes()) return Entry{nullptr, lua.CanKeepThread() ? KeptThread(L) : L, std::nullopt};
    // The thread is what is stored last: a state whose sentinel was stored and whose thread could not
    // be makes both again.
    const bool made = ThreadOf(L) == nullptr;
    const void* const sentinel = made ? MadeSentinel(L, &SentinelFinalized) : SentinelOf(L);
    if (made && sentinel == nullptr) return Entry{nullptr, nullptr, Failure::NoMemory};
    StateNote* note = nullptr;
    lua_State* thread = nullptr;
    {
        const SmallLock::Hold guard(g_sentinelLock);
        SentinelRecord* record = RecordOf(sentinel);
        // Finalized already: the state is closing.
        if (record == nullptr) return Entry{nullptr, nullptr, Failure::StateMayBeClosing};
        note = record->note;
        thread = record->thread;
    }
    if (note == nullptr) {
        // The note is made once the state is seen running, so that a sentinel the close made keeps
        // none; until then, and where memory ran out for it, no callback is kept, since nothing would
        // tell of the state's close. The next call tries again.
        if (!ScriptRunsOnMainThread(L)) return Entry{nullptr, nullptr, Failure::StateMayBeClosing};
        // The thread made with the sentinel, not whatever the registry holds now: a script may have put
        // a coroutine of its own there, which ThreadKept then refuses.
        note = NoteMaker::Make(thread, L);
        if (note == nullptr) return Entry{nullptr, nullptr, Failure::NoMemory};
        const SmallLock::Hold guard(g_sentinelLock);
        // Seeing the state run ran Lua, whose collection step may have finalized the sentinel.
        SentinelRecord* record = RecordOf(sentinel);
        if (record == nullptr) {
            note->Let();
            return Entry{nullptr, nullptr, Failure::StateMayBeClosing};
        }
        record->note = note;
    }
    // Closed without its close: its thread was taken away.
    if (note->Closed()) return Entry{nullptr, nullptr, Failure::StateMayBeClosing};
    if (L == note->main_) recent_ = Recent{L, note};
    return Entered(note);
}

StateNote::Entry StateNote::Enter(lua_State* L) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    if (L == recent_.main) return Entered(recent_.note);
    return EnterSlowly(L);
}

}  // namespace orvane
