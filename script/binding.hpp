// The calling convention of every script method, written once. A method is a row naming its native
// operation and its failure answer; the kinds of its arguments and results come from the operation's
// signature, so a row cannot disagree with the code it calls.
//
// The convention: with N declared arguments the receiver sits at top-N and the arguments above it,
// so extra values are read from the end. A missing receiver (not user data, or a stack too short)
// answers the failure result without reading anything. A callback is always the last argument and
// the only one whose type is tested; its reference is taken after every other argument is read, so a
// malformed call takes none, and a call that fails after all lets it go again. Each of these
// failures writes its cause under the method's name (common/failure.hpp); a call that fits writes
// nothing.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "bridge/state_note.hpp"
#include "common/failure.hpp"
#include "common/text.hpp"
#include "common/thread_checks.hpp"
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
// empty text rather than a failure, so no argument type can make a method misbehave. The view holds
// while the value stays on the stack, which it does until the call returns (Lua moves no string).
inline std::string_view TextAt(lua_State* L, int index) {
    const char* text = lua_tolstring(L, index, nullptr);
    return text != nullptr ? std::string_view(text) : std::string_view();
}

// A result's text waits in the call's own frame between the operation and its push, so its memory
// belongs to no C++ object that a raised error could skip, and a call nested in the push (a
// finalizer that the push's collection step runs may call the same method) keeps a text of its own.
// The one method that answers a text answers a folder path: MAX_PATH characters, three bytes each
// at most in UTF-8.
struct KeptText {
    static constexpr std::size_t kCapacity = 1024;
    char text[kCapacity];
};

inline KeptText KeepText(std::string_view text) {
    // A text that does not fit answers as a failure would; no path the add-in answers comes near.
    if (text.size() >= KeptText::kCapacity) throw std::bad_alloc();
    KeptText kept{};
    text.copy(kept.text, text.size());
    kept.text[text.size()] = '\0';
    return kept;
}

// How each type crosses the script stack. A parameter is read as a Raw value, which needs no
// destructor, and made into the operation's value afterwards; a result is kept as a Kept value,
// which needs none either, and pushed afterwards, with the number of values it takes. Parameters are
// matched without their reference and const, so `const std::string&` reads as std::string.
template <class T>
struct Stack;

// A type that crosses as it is.
template <class T>
struct AsItIs {
    using Raw = T;
    static T Make(T raw) { return raw; }
    using Kept = T;
    static T Keep(T value) { return value; }
};

template <>
struct Stack<std::string> {
    using Raw = std::string_view;
    static Raw Read(lua_State* L, int index) { return TextAt(L, index); }
    static std::string Make(Raw raw) { return std::string(raw); }
};
template <>
struct Stack<std::wstring> {
    using Raw = std::string_view;
    static Raw Read(lua_State* L, int index) { return TextAt(L, index); }
    static std::wstring Make(Raw raw) { return Utf8ToUtf16(raw); }
    static constexpr int kCount = 1;
    using Kept = KeptText;
    static Kept Keep(const std::wstring& value) { return KeepText(Utf16ToUtf8(value)); }
    static void Push(lua_State* L, const Kept& value) { lua_pushstring(L, value.text); }
};
template <>
struct Stack<lua_Integer> : AsItIs<lua_Integer> {
    static Raw Read(lua_State* L, int index) { return lua_tointeger(L, index); }
};
template <>
struct Stack<void*> : AsItIs<void*> {
    static Raw Read(lua_State* L, int index) { return lua_touserdata(L, index); }
};
template <>
struct Stack<CallbackRef> {
    using Raw = TakenCallback;
    // Pops the function (it is at the top) and keeps it until it is unreffed.
    static Raw Read(lua_State* L, int /*index*/) { return TakeCallback(L); }
    static CallbackRef Make(Raw raw) noexcept { return CallbackRef(raw); }
};
template <>
struct Stack<bool> : AsItIs<bool> {
    static constexpr int kCount = 1;
    static void Push(lua_State* L, bool value) { lua_pushboolean(L, value ? 1 : 0); }
};
template <>
struct Stack<SetupStatus> : AsItIs<SetupStatus> {
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

struct NoResult {};
struct NoCallback {};

template <class Result>
struct KeptOf {
    using Type = typename Stack<Result>::Kept;
};
template <>
struct KeptOf<void> {
    using Type = NoResult;
};

// A method's name as a template argument: its binding reports under the very characters the row
// hands to the runtime, and a call that works carries no name at all.
template <std::size_t N>
struct MethodName {
    // Implicit, so that a row names its method with a plain literal.
    constexpr MethodName(const char (&name)[N]) {  // NOLINT(google-explicit-constructor)
        for (std::size_t i = 0; i < N; ++i) text[i] = name[i];
    }
    char text[N]{};
};

template <auto Method, class Answer, MethodName Name>
struct Binding;

// Reading and pushing call Lua functions that may raise: making a number's text or pushing a text
// allocates, an allocation may find no memory or take a collection step, and a finalizer that step
// runs may raise. Lua raises by longjmp, which runs no C++ destructor and would leave a catch block
// half done. So a call goes in three steps, and Lua may raise only in the first and the last:
//   1. read every argument as a Raw value (texts as views of their strings, the callback last, as a
//      reference), while no C++ object lives;
//   2. hand the callback's reference to its owner first, then make the operation's values, call it and
//      keep its result as a Kept value, with no Lua call that may raise (an operation only unrefs
//      references, which raises nothing); an exception (memory) ends here, and the owner drops the
//      callback on the way out;
//   3. once every C++ object of step 2 is gone, push the result, or the failure answer.
template <class Result, class... Params, Result (ScriptObject::*Method)(Params...), class Answer, MethodName Name>
struct Binding<Method, Answer, Name> {
    static constexpr int kArity = static_cast<int>(sizeof...(Params));
    static constexpr bool kTakesCallback = LastIsCallback<Params...>();
    static constexpr int kResultCount = ResultCount<Result>();

    using RawArgs = std::tuple<typename Stack<Bare<Params>>::Raw...>;
    using Kept = typename KeptOf<Result>::Type;
    struct Outcome {
        bool done = false;
        Kept kept{};
    };
    static_assert(std::is_trivially_destructible_v<RawArgs> && std::is_trivially_destructible_v<Outcome>,
                  "what lives while Lua may raise needs no destructor");

    // Entered from the host's Lua runtime, which cannot take a C++ exception: none leaves here.
    static int Call(lua_State* L) noexcept {
        if (!OnScriptThread()) return Fail(L, Failure::NotScriptThread);
        // The script thread is in: references that other threads deferred since can go now.
        EnterFromScript(L);
        const int receiver = lua_gettop(L) - kArity;
        if (receiver < 1 || lua_touserdata(L, receiver) == nullptr) return Fail(L, Failure::NoReceiver);
        if constexpr (kTakesCallback) {
            if (lua_type(L, lua_gettop(L)) != lua::kTypeFunction) return Fail(L, Failure::CallbackNotAFunction);
        }
        const RawArgs raw = Read(L, receiver, std::index_sequence_for<Params...>{});
        if constexpr (kTakesCallback) {
            if (const std::optional<Failure> refused = std::get<kLast>(raw).refused) return Fail(L, *refused);
        }
        const Outcome outcome = Run(raw);
        if (!outcome.done) return Fail(L, Failure::NoMemory);
        if constexpr (std::is_void_v<Result>) {
            return 0;
        } else {
            Stack<Result>::Push(L, outcome.kept);
            return kResultCount;
        }
    }

private:
    // The report calls no Lua, so it may come before the push, which may raise.
    static int Fail(lua_State* L, Failure cause) noexcept {
        ReportFailure(Name.text, cause);
        return Answer::Push(L);
    }

    template <std::size_t... I>
    static RawArgs Read([[maybe_unused]] lua_State* L, [[maybe_unused]] int receiver, std::index_sequence<I...>) {
        // Braced initialisation reads in order, so the callback (always last) is referenced only
        // after every other argument has been read.
        return RawArgs{Stack<Bare<Params>>::Read(L, receiver + 1 + static_cast<int>(I))...};
    }

    static constexpr std::size_t kLast = sizeof...(Params) - 1;

    // The callback, owned from the start of step 2: whichever way the call ends, it goes with its
    // owner, and the operation, once called, owns it.
    static auto Adopt([[maybe_unused]] const RawArgs& raw) noexcept {
        if constexpr (kTakesCallback) {
            return Stack<CallbackRef>::Make(std::get<kLast>(raw));
        } else {
            return NoCallback{};
        }
    }

    static Outcome Run(const RawArgs& raw) noexcept {
        Outcome outcome;
        auto callback = Adopt(raw);
        try {
            outcome.kept = Invoke(raw, callback, std::index_sequence_for<Params...>{});
            outcome.done = true;
        } catch (...) {
            // Only allocation throws here.
        }
        return outcome;
    }

    // The operation's value of parameter I: made from its raw value, or the adopted callback.
    template <std::size_t I, class Callback>
    static decltype(auto) Value(const RawArgs& raw, [[maybe_unused]] Callback& callback) {
        if constexpr (kTakesCallback && I == kLast) {
            return std::move(callback);
        } else {
            return Stack<Bare<std::tuple_element_t<I, std::tuple<Params...>>>>::Make(std::get<I>(raw));
        }
    }

    template <class Callback, std::size_t... I>
    static Kept Invoke([[maybe_unused]] const RawArgs& raw, [[maybe_unused]] Callback& callback,
                       std::index_sequence<I...>) {
        std::tuple<Bare<Params>...> values{Value<I>(raw, callback)...};
        // The receiver's user data is not dereferenced: any user data passes the test, and the
        // object has no state that would make its own pointer matter.
        ScriptObject& object = ScriptObject::Instance();
        // Each element is moved out once: std::get of a moved tuple moves only the element it names.
        if constexpr (std::is_void_v<Result>) {
            (object.*Method)(std::get<I>(std::move(values))...);  // NOLINT(bugprone-use-after-move)
            return {};
        } else {
            // NOLINTNEXTLINE(bugprone-use-after-move)
            return Stack<Result>::Keep((object.*Method)(std::get<I>(std::move(values))...));
        }
    }
};

// One row of the method table: the operation, its failure answer and its name.
template <auto Method, class Answer, MethodName Name>
constexpr VemoMethod Row() {
    // A method answers as many values on failure as on success, and one that answers none has
    // nothing to answer: its operation returns nothing.
    static_assert(Binding<Method, Answer, Name>::kResultCount == Answer::kCount);
    return VemoMethod{Name.text, &Binding<Method, Answer, Name>::Call, 0};
}

}  // namespace orvane::binding
