// The calling convention of every script method, written once. A method is a row naming its native
// operation and its failure answer; the kinds of its arguments and results come from the operation's
// signature, so a row cannot disagree with the code it calls.
//
// The convention: with N declared arguments the receiver sits at top-N and the arguments above it,
// so extra values are read from the end. A missing receiver (not user data, or a stack too short)
// answers the failure result without reading anything. A callback is always the last argument and
// the only one whose type is tested; its reference is taken last, so a failed call takes none.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/text.hpp"
#include "runtime/vemo_runtime.h"
#include "script/script_object.hpp"

namespace orvane::binding {

// Failure answers, pushed when the call is malformed. A method pushes as many values when it works
// as when it fails.
struct NoValues {
    static constexpr int kCount = 0;
    static int Push(lua_State*) { return 0; }
};
struct False {
    static constexpr int kCount = 1;
    static int Push(lua_State* L) {
        lua_pushboolean(L, 0);
        return 1;
    }
};
struct EmptyText {
    static constexpr int kCount = 1;
    static int Push(lua_State* L) {
        lua_pushstring(L, "");
        return 1;
    }
};
struct MinusOneAndNil {
    static constexpr int kCount = 2;
    static int Push(lua_State* L) {
        lua_pushinteger(L, -1);
        lua_pushnil(L);
        return 2;
    }
};

// A text is taken up to its first zero byte; a value with no text form (nil, boolean, table) is the
// empty text rather than a failure, so no argument type can make a method misbehave.
inline std::string CopyText(lua_State* L, int index) {
    const char* text = lua_tolstring(L, index, nullptr);
    return text != nullptr ? std::string(text) : std::string();
}

// How each type crosses the script stack: read where it is a parameter of a native operation, pushed
// where it is a result, with the number of values it takes. Parameters are matched without their
// reference and const, so `const std::string&` reads as std::string.
template <class T>
struct Stack;

template <>
struct Stack<std::string> {
    static std::string Read(lua_State* L, int index) { return CopyText(L, index); }
};
template <>
struct Stack<std::wstring> {
    static std::wstring Read(lua_State* L, int index) { return Utf8ToUtf16(CopyText(L, index)); }
    static constexpr int kCount = 1;
    static void Push(lua_State* L, const std::wstring& value) { lua_pushstring(L, Utf16ToUtf8(value).c_str()); }
};
template <>
struct Stack<lua_Integer> {
    static lua_Integer Read(lua_State* L, int index) { return lua_tointeger(L, index); }
};
template <>
struct Stack<void*> {
    static void* Read(lua_State* L, int index) { return lua_touserdata(L, index); }
};
template <>
struct Stack<CallbackRef> {
    // Pops the function (it is at the top) and keeps it until it is released.
    static CallbackRef Read(lua_State* L, int /*index*/) { return TakeCallback(L); }
};
template <>
struct Stack<bool> {
    static constexpr int kCount = 1;
    static void Push(lua_State* L, bool value) { lua_pushboolean(L, value ? 1 : 0); }
};
template <>
struct Stack<SetupStatus> {
    static constexpr int kCount = 2;
    static void Push(lua_State* L, const SetupStatus& value) {
        lua_pushinteger(L, value.first);
        lua_pushinteger(L, value.second);
    }
};

template <class T>
using Bare = std::remove_cvref_t<T>;

template <class Result>
constexpr int ResultCount() {
    if constexpr (std::is_void_v<Result>)
        return 0;
    else
        return Stack<Result>::kCount;
}

template <class... Params>
constexpr bool LastIsCallback() {
    if constexpr (sizeof...(Params) == 0)
        return false;
    else
        return std::is_same_v<std::tuple_element_t<sizeof...(Params) - 1, std::tuple<Params...>>, CallbackRef>;
}

template <auto Method, class Failure>
struct Binding;

template <class Result, class... Params, Result (ScriptObject::*Method)(Params...), class Failure>
struct Binding<Method, Failure> {
    static constexpr int kArity = static_cast<int>(sizeof...(Params));
    static constexpr bool kTakesCallback = LastIsCallback<Params...>();
    static constexpr int kResultCount = ResultCount<Result>();

    // Entered from the host's Lua runtime, which cannot take a C++ exception: none leaves here.
    static int Call(lua_State* L) noexcept {
        const int receiver = lua_gettop(L) - kArity;
        if (receiver < 1 || lua_touserdata(L, receiver) == nullptr) return Failure::Push(L);
        if constexpr (kTakesCallback) {
            if (lua_type(L, lua_gettop(L)) != lua::kTypeFunction) return Failure::Push(L);
        }
        try {
            return Invoke(L, receiver, std::index_sequence_for<Params...>{});
        } catch (...) {
            // Only allocation can throw here, and only before a callback reference is taken.
            return Failure::Push(L);
        }
    }

private:
    template <std::size_t... I>
    static int Invoke(lua_State* L, int receiver, std::index_sequence<I...>) {
        // Braced initialisation reads the arguments in order, so a callback (always last) is
        // referenced only after every text has been copied.
        std::tuple<Bare<Params>...> values{Stack<Bare<Params>>::Read(L, receiver + 1 + static_cast<int>(I))...};
        // The receiver's user data is not dereferenced: any user data passes the test, and the
        // object has no state that would make its own pointer matter.
        ScriptObject& object = ScriptObject::Instance();
        if constexpr (std::is_void_v<Result>) {
            (object.*Method)(std::get<I>(std::move(values))...);
            return 0;
        } else {
            Stack<Result>::Push(L, (object.*Method)(std::get<I>(std::move(values))...));
            return Stack<Result>::kCount;
        }
    }
};

// One row of the method table.
template <auto Method, class Failure>
constexpr VemoMethod Row(const char* name) {
    // A method answers as many values on failure as on success, and one that answers none has
    // nothing to answer: its operation returns nothing.
    static_assert(Binding<Method, Failure>::kResultCount == Failure::kCount);
    return VemoMethod{name, &Binding<Method, Failure>::Call, 0};
}

}  // namespace orvane::binding
