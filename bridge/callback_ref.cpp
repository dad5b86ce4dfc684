#include "bridge/callback_ref.hpp"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>

#include "common/intrusive_list.hpp"
#include "common/small_lock.hpp"
#include "common/thread_checks.hpp"
#include "runtime/optional_entries.hpp"
#include "runtime/protected_call.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {

// A reference let go of, in a node of its own, waiting in its universe's list.
struct LetGoNode {
    TakenCallback callback;
    ListLink<LetGoNode> link;
};
using LetGoList = IntrusiveList<LetGoNode, &LetGoNode::link>;
std::atomic<std::size_t> detail::g_waiting{0};

namespace {

// Their addresses are registry keys no script can name: of the add-in's thread, and of the note that
// tells its universe from any other.
char kCallbackThreadKey = 0;
char kUniverseKey = 0;

void* KeyOf(char& key) { return &key; }

// What the add-in keeps of a universe, on its own heap, found through a box: a full user data in the
// universe's registry, whose finalizer runs when the host closes the universe and lets go of the
// note. The box keeps the universe's number after that, so that a reference taken later in the same
// close is seen as one of a closed universe. Lua frees without finalizing a user data made while
// lua_close runs finalizers; a box made then leaves its note behind, never Lua's freed memory linked
// among the open ones, and since every universe gets its box at its first script call, only one
// whose very first call comes in such a finalizer is left so.
struct UniverseNote {
    std::uint32_t number = 0;
    ListLink<UniverseNote> link;
    LetGoList waiting;
    std::size_t waitingCount = 0;
};

struct NoteBox {
    UniverseNote* note;  // null once closed; written where the universe runs
    std::uint32_t number;
};

// The open universes and what waits in each: any thread lets go, the script thread releases, and
// whichever thread closes a universe drops its list.
SmallLock g_lock;
IntrusiveList<UniverseNote, &UniverseNote::link> g_open;

// Numbers the universes the add-in meets; script thread only.
std::uint32_t g_lastUniverse = 0;

UniverseNote* FindOpen(std::uint32_t number) noexcept {
    UniverseNote* note = g_open.First();
    while (note != nullptr && note->number != number) note = decltype(g_open)::Later(*note);
    return note;
}

// Under the lock: the universe's list, taken off it whole.
LetGoList TakeWaiting(UniverseNote& note) noexcept {
    detail::g_waiting.fetch_sub(note.waitingCount, std::memory_order_relaxed);
    note.waitingCount = 0;
    return note.waiting.TakeAll();
}

void* Registered(lua_State* L, char& key, bool thread) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    lua.pushlightuserdata(L, KeyOf(key));
    lua.rawget(L, lua::kRegistryIndex);
    void* value = thread ? static_cast<void*>(lua.tothread(L, -1)) : lua_touserdata(L, -1);
    PopValues(L, 1);
    return value;
}

NoteBox* BoxOf(lua_State* L) noexcept {
    if (!RuntimeOptionalEntries().CanKeepThread()) return nullptr;
    return static_cast<NoteBox*>(Registered(L, kUniverseKey, false));
}

std::uint32_t NumberOf(lua_State* L) noexcept {
    const NoteBox* box = BoxOf(L);
    return box != nullptr ? box->number : 0;
}

lua_State* RegisteredThread(lua_State* L) noexcept {
    return static_cast<lua_State*>(Registered(L, kCallbackThreadKey, true));
}

// The box's finalizer: the universe is closing, and with it every reference of its registry. Only
// the box its registry holds counts: one never stored holds no note, and a script may call the
// finalizer itself with any user data.
int UniverseClosed(lua_State* L) {
    void* const box = lua_touserdata(L, 1);
    if (box == nullptr || box != BoxOf(L)) return 0;
    UniverseNote* const note = std::exchange(static_cast<NoteBox*>(box)->note, nullptr);
    if (note == nullptr) return 0;
    LetGoList forgotten = [note] {
        const std::lock_guard<SmallLock> guard(g_lock);
        g_open.Remove(*note);
        return TakeWaiting(*note);
    }();
    while (LetGoNode* node = forgotten.PopFront()) delete node;
    delete note;
    return 0;
}

// registry[key] = the value held by the reference.
void Store(lua_State* L, char& key, int held) {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    lua.pushlightuserdata(L, KeyOf(key));
    lua_rawgeti(L, lua::kRegistryIndex, held);
    lua.rawset(L, lua::kRegistryIndex);
}

struct Universe {
    lua_State* thread;
    std::uint32_t number;
};

// The add-in's thread in L's universe and the universe's number, made on first need; L itself and 0
// where the runtime cannot make a thread.
Universe CallbackUniverse(lua_State* L) noexcept {
    const OptionalEntries& lua = RuntimeOptionalEntries();
    if (!lua.CanKeepThread()) return Universe{L, 0};
    lua_State* thread = RegisteredThread(L);
    if (thread != nullptr) return Universe{thread, NumberOf(L)};
    // Both made before anything is stored: making them may take a collection step, and a finalizer
    // that step runs may take a callback itself and so make the universe's thread first; that one
    // stays the universe's. Each is held by a reference while the registry is read and written.
    lua_State* const made = lua.newthread(L);
    const int heldThread = luaL_ref(L, lua::kRegistryIndex);
    auto* box = new (lua.newuserdata(L, sizeof(NoteBox))) NoteBox{nullptr, 0};
    lua.createtable(L, 0, 1);
    lua_pushstring(L, "__gc");
    lua.pushcclosure(L, &UniverseClosed, 0);
    lua.rawset(L, -3);
    lua.setmetatable(L, -2);
    const int heldBox = luaL_ref(L, lua::kRegistryIndex);
    thread = RegisteredThread(L);
    if (thread == nullptr) {
        // Both stored before the note is made, as storing may raise: the registry holds them for good
        // from here on, and a note, once made, is never left unfound.
        Store(L, kUniverseKey, heldBox);
        Store(L, kCallbackThreadKey, heldThread);
        thread = made;
        // Without memory for it, the universe keeps number 0: nothing tells whether it closed.
        if (auto* note = new (std::nothrow) UniverseNote) {
            note->number = box->number = ++g_lastUniverse;
            box->note = note;
            const std::lock_guard<SmallLock> guard(g_lock);
            g_open.PushBack(*note);
        }
    }
    luaL_unref(L, lua::kRegistryIndex, heldBox);
    luaL_unref(L, lua::kRegistryIndex, heldThread);
    return Universe{thread, NumberOf(L)};
}

// luaL_unref writes the head of the registry's free list, key 0. While that key holds no value the
// write may have to make room for it, which allocates, and an allocation may raise. Given a number
// here, where raising is the script call's own business, the key keeps a number, since luaL_ref and
// luaL_unref then only ever move numbers into it; so releasing a reference does not allocate. 0 is
// the empty list as luaL_ref reads it, and luaL_unref of reference 0 writes just that.
void KeepFreeListHead(lua_State* L) noexcept {
    lua_rawgeti(L, lua::kRegistryIndex, 0);
    const bool missing = lua_type(L, -1) == lua::kTypeNil;
    PopValues(L, 1);
    if (missing) luaL_unref(L, lua::kRegistryIndex, 0);
}

// Closes of the window answers go to: counted on the script thread, read by any thread that drops.
std::atomic<std::uint32_t> g_closes{0};

std::uint32_t ThisThread() noexcept { return static_cast<std::uint32_t>(::GetCurrentThreadId()); }

bool UniverseOpen(std::uint32_t number) noexcept {
    if (number == 0) return true;  // nothing tells
    const std::lock_guard<SmallLock> guard(g_lock);
    return FindOpen(number) != nullptr;
}

struct Handover {
    TakenCallback callback;
    std::string_view text;
    bool called = false;
    bool released = false;
};

void Hand(lua_State* L, void* context) {
    auto* handover = static_cast<Handover*>(context);
    lua_rawgeti(L, lua::kRegistryIndex, handover->callback.ref);
    if (const auto pushlstring = RuntimeOptionalEntries().pushlstring) {
        pushlstring(L, handover->text.data(), handover->text.size());
    } else {
        lua_pushstring(L, handover->text.data());
    }
    // From here on the callback may have run, and it never runs twice.
    handover->called = true;
    VemoLRT_LuaCall(L, 1, 0, 0);
    luaL_unref(L, lua::kRegistryIndex, handover->callback.ref);
    handover->released = true;
}

void ReleaseWork(lua_State* L, void* context) {
    luaL_unref(L, lua::kRegistryIndex, static_cast<TakenCallback*>(context)->ref);
}

// Script thread: drops the reference without calling the function, protected too.
void Release(TakenCallback taken) noexcept { RunProtected(taken.state, &ReleaseWork, &taken); }

// Any thread: the reference waits for the script thread's next call in its universe.
void LetGo(const TakenCallback& taken) noexcept {
    if (taken.universe == 0) return;
    // Without memory even for this the reference stays in its registry for good.
    auto* node = new (std::nothrow) LetGoNode{taken, {}};
    if (node == nullptr) return;
    {
        const std::lock_guard<SmallLock> guard(g_lock);
        if (UniverseNote* note = FindOpen(taken.universe)) {
            note->waiting.PushBack(*node);
            ++note->waitingCount;
            detail::g_waiting.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    // Its universe closed already, and its registry with it.
    delete node;
}

}  // namespace

TakenCallback TakeCallback(lua_State* L) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // The thread first: making it may raise, and then nothing has been taken yet.
    const Universe universe = CallbackUniverse(L);
    KeepFreeListHead(L);
    return TakenCallback{universe.thread, luaL_ref(L, lua::kRegistryIndex), universe.number};
}

CallbackRef::CallbackRef(TakenCallback taken) noexcept
    : taken_(taken), thread_(ThisThread()), closes_(g_closes.load()) {}

CallbackRef::CallbackRef(CallbackRef&& other) noexcept
    : taken_(std::exchange(other.taken_, TakenCallback{})), thread_(other.thread_), closes_(other.closes_) {}

CallbackRef& CallbackRef::operator=(CallbackRef&& other) noexcept {
    if (this != &other) {
        // The one held until now goes only once this one holds the other: dropping it may run a
        // finalizer that reaches this owner itself.
        CallbackRef gone(std::move(*this));
        taken_ = std::exchange(other.taken_, TakenCallback{});
        thread_ = other.thread_;
        closes_ = other.closes_;
    }
    return *this;
}

CallbackRef::~CallbackRef() { Drop(); }

void CallbackRef::Drop() noexcept {
    const TakenCallback taken = std::exchange(taken_, TakenCallback{});
    if (taken.state == nullptr) return;
    // Released at once only where its universe surely lives: on the thread that runs it, with no
    // close since, after which the host may close the universe at any time; and not closed already.
    if (thread_ == ThisThread() && closes_ == g_closes.load() && UniverseOpen(taken.universe)) {
        Release(taken);
    } else {
        LetGo(taken);
    }
}

bool CallbackRef::CallOnce(std::string_view text) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    const TakenCallback taken = std::exchange(taken_, TakenCallback{});
    if (taken.state == nullptr) return true;
    Handover handover{taken, text};
    RunProtected(taken.state, &Hand, &handover);
    // Raised before the call (no memory for the answer, or a finalizer): the empty text instead, as
    // after any failure.
    const bool whole = handover.called;
    if (!whole) {
        handover.text = "";
        RunProtected(taken.state, &Hand, &handover);
    }
    if (!handover.released) Release(taken);
    return whole;
}

bool CallbackRef::AdoptedBeforeLastClose() const noexcept { return closes_ != g_closes.load(); }

bool CallbackRef::UniverseClosed() const noexcept { return taken_.state != nullptr && !UniverseOpen(taken_.universe); }

bool UniverseClosesSeen() noexcept { return RuntimeOptionalEntries().CanKeepThread(); }

void NoteWindowClosed() noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    g_closes.fetch_add(1);
}

std::size_t LetGoWaiting() noexcept { return detail::g_waiting.load(); }

// Every script call asks, so it asks the runtime no more than it must: the key, the look, the value,
// the pop. The thread is what is stored last, and what CallbackUniverse looks for: a universe whose
// box was stored and whose thread could not be still makes both at its next call.
bool detail::HasBox(lua_State* L) noexcept {
    static const OptionalEntries& lua = RuntimeOptionalEntries();
    static const bool canKeep = lua.CanKeepThread() && lua.settop != nullptr;
    // Without the entries a box takes, there is none to make; without settop the general look.
    if (!canKeep) return !lua.CanKeepThread() || RegisteredThread(L) != nullptr;
    lua.pushlightuserdata(L, KeyOf(kCallbackThreadKey));
    lua.rawget(L, lua::kRegistryIndex);
    const bool made = lua.tothread(L, -1) != nullptr;
    lua.settop(L, -2);
    return made;
}

void detail::ReleaseLetGoNow(lua_State* L) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // Its box from its first call on, so that its close is seen even if it takes its first callback
    // only in a finalizer of that close. Raising here is the script call's own.
    (void)CallbackUniverse(L);
    if (g_waiting.load(std::memory_order_relaxed) == 0) return;
    // A reference is released only in the universe it was taken in: another's registry would lose a
    // live reference of its own, and a closed one's state is gone. The others' wait for their own.
    const NoteBox* box = BoxOf(L);
    if (box == nullptr || box->note == nullptr) return;
    LetGoList waiting = [note = box->note] {
        const std::lock_guard<SmallLock> guard(g_lock);
        return TakeWaiting(*note);
    }();
    while (LetGoNode* node = waiting.PopFront()) {
        Release(node->callback);
        delete node;
    }
}

}  // namespace orvane
