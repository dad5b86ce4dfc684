#include "bridge/callback_ref.hpp"

#include <windows.h>

#include <utility>

#include "common/thread_checks.hpp"
#include "runtime/optional_entries.hpp"
#include "runtime/protected_call.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {
namespace {

// luaL_unref writes the head of the registry's free list, key 0. While that key holds no value the
// write may have to make room for it, which allocates, and an allocation may raise. Given a number
// here, where raising is the script call's own business, the key keeps a number, since luaL_ref and
// luaL_unref then only ever move numbers into it; so unreffing a reference does not allocate. 0 is
// the empty list as luaL_ref reads it, and luaL_unref of reference 0 writes just that.
void KeepFreeListHead(lua_State* L) noexcept {
    lua_rawgeti(L, lua::kRegistryIndex, 0);
    const bool missing = lua_type(L, -1) == lua::kTypeNil;
    PopValues(L, 1);
    if (missing) luaL_unref(L, lua::kRegistryIndex, 0);
}

std::uint32_t ThisThread() noexcept { return static_cast<std::uint32_t>(::GetCurrentThreadId()); }

struct Handover {
    TakenCallback callback;
    std::string_view text;
    bool called = false;
    bool unreffed = false;
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
    handover->unreffed = true;
}

void UnrefWork(lua_State* L, void* context) {
    luaL_unref(L, lua::kRegistryIndex, static_cast<TakenCallback*>(context)->ref);
}

// Script thread: unrefs the reference without calling the function, protected too.
void Unref(TakenCallback taken) noexcept { RunProtected(taken.state, &UnrefWork, &taken); }

}  // namespace

TakenCallback TakeCallback(lua_State* L) noexcept {
    ORVANE_SCRIPT_THREAD_ONLY();
    // The note first: making it may raise, and then nothing has been taken yet.
    const StateNote::Entry entry = StateNote::Enter(L);
    if (entry.refused) {
        PopValues(L, 1);
        return TakenCallback::Refused(*entry.refused);
    }
    KeepFreeListHead(L);
    return TakenCallback{entry.thread, ReferenceTop(L), entry.note};
}

CallbackRef::CallbackRef(TakenCallback taken) noexcept
    : taken_(taken), thread_(ThisThread()), epoch_(StateNote::Epoch()) {
    if (taken_.state == nullptr) {
        taken_ = TakenCallback{};
    } else if (taken_.note != nullptr) {
        taken_.note->Hold();
    }
}

CallbackRef::CallbackRef(CallbackRef&& other) noexcept
    : taken_(std::exchange(other.taken_, TakenCallback{})), thread_(other.thread_), epoch_(other.epoch_) {}

CallbackRef& CallbackRef::operator=(CallbackRef&& other) noexcept {
    if (this != &other) {
        // The one held until now goes only once this one holds the other: dropping it may run a
        // finalizer that reaches this owner itself.
        CallbackRef gone(std::move(*this));
        taken_ = std::exchange(other.taken_, TakenCallback{});
        thread_ = other.thread_;
        epoch_ = other.epoch_;
    }
    return *this;
}

CallbackRef::~CallbackRef() { UnrefNowOrLater(); }

void CallbackRef::UnrefNowOrLater() noexcept {
    const TakenCallback taken = std::exchange(taken_, TakenCallback{});
    if (taken.state == nullptr) return;
    if (StateNote::CanUnrefHere(taken.note, epoch_, thread_) && (taken.note == nullptr || taken.note->ThreadKept())) {
        Unref(taken);
    } else if (taken.note != nullptr) {
        taken.note->DeferUnref(taken.ref);
    }
    if (taken.note != nullptr) taken.note->Let();
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
    if (!handover.unreffed) Unref(taken);
    if (taken.note != nullptr) taken.note->Let();
    return whole;
}

}  // namespace orvane
