// The add-in's own work on a Lua state outside any script's call: handing an answer to its callback,
// calling the speed-limit handler, unreffing a reference. Lua may raise there: a push allocates, an
// allocation may find no memory or take a collection step, and a finalizer that step runs may raise.
// Nothing would catch that, so Lua would call its panic function, which ends the host.
#pragma once

struct lua_State;

namespace orvane {

// Runs with L's stack as the work found it; whatever it raises leaves it (by longjmp, so the work
// keeps nothing alive that has a destructor).
using LuaWork = void (*)(lua_State* L, void* context);

// Script thread: runs work(L, context) on L, which must live and may not be suspended. Where the
// runtime offers the entries for it (OptionalEntries::CanProtect), the work runs inside a call of
// VemoLRT_LuaCall, so that what it raises is reported as the runtime reports a callback's error, and
// that call inside lua_cpcall, so that what the runtime itself raises around its call is caught too
// and handed to it on another try. Without them the work runs bare, and an error raised in it ends the
// host. Either way L's stack is as high afterwards as before. Answers whether the work ran (it may
// have stopped at an error): false only when every try ended before it.
bool RunProtected(lua_State* L, LuaWork work, void* context) noexcept;

}  // namespace orvane
