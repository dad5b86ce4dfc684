// What a callee-cleans function removes from the stack on i686: each argument widened to a 4-byte
// slot, and for an interface method the interface pointer as well. The templates only accept
// callee-cleans signatures there, so a method or entry point that lost its convention stops the build.
#pragma once

#include <windows.h>

#include <cstddef>
#include <type_traits>

namespace orvane::abi {

// A reference travels as an address (REFIID is one), whatever the size of what it refers to.
template <class Arg>
constexpr std::size_t SlotBytes() {
    constexpr std::size_t size = std::is_reference_v<Arg> ? sizeof(void*) : sizeof(Arg);
    return (size + 3) / 4 * 4;
}

template <class... Args>
constexpr std::size_t ArgumentBytes() {
    return (std::size_t{0} + ... + SlotBytes<Args>());
}

template <class Result, class Interface, class... Args>
constexpr std::size_t CalleePops(Result (STDMETHODCALLTYPE Interface::*)(Args...)) {
    return sizeof(Interface*) + ArgumentBytes<Args...>();
}

template <class Result, class... Args>
constexpr std::size_t CalleePops(Result(WINAPI*)(Args...)) {
    return ArgumentBytes<Args...>();
}

}  // namespace orvane::abi
