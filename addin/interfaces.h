// The two interfaces of the add-in object. IAddin is the identity and has no methods of its own;
// IHostedAddin is how the host drives its add-ins. Slot order and argument counts are the contract:
// the host calls these slots with the callee removing 1, 1, 0 and 2 pointer-sized arguments.
#pragma once

#include <unknwn.h>

#include <type_traits>

#include "addin/callee_pops.hpp"

// {CDEE2727-F2D1-415D-95F7-5EFD2AE2D252}
inline constexpr IID IID_IAddin = {0xCDEE2727, 0xF2D1, 0x415D, {0x95, 0xF7, 0x5E, 0xFD, 0x2A, 0xE2, 0xD2, 0x52}};
// {25456E39-2283-4CB4-953D-AFD9E794D6FE}
inline constexpr IID IID_IHostedAddin = {0x25456E39, 0x2283, 0x4CB4, {0x95, 0x3D, 0xAF, 0xD9, 0xE7, 0x94, 0xD6, 0xFE}};
// {0FF6A79F-39C8-44EE-86EF-FD57ECCEEDC5}
inline constexpr CLSID CLSID_Addin = {0x0FF6A79F, 0x39C8, 0x44EE, {0x86, 0xEF, 0xFD, 0x57, 0xEC, 0xCE, 0xED, 0xC5}};
// {28F10A69-F207-4E78-988E-BDA60C2807FE}, the type library that describes IAddin and the coclass.
inline constexpr GUID LIBID_OrvaneLib = {0x28F10A69, 0xF207, 0x4E78, {0x98, 0x8E, 0xBD, 0xA6, 0x0C, 0x28, 0x07, 0xFE}};

struct IAddin : public IUnknown {};

// Slots 3 to 6, after QueryInterface, AddRef and Release. Declaration order is slot order.
struct IHostedAddin : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Startup(void* host) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved1(void* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved3(void* first, void* second) = 0;
};

static_assert(sizeof(IAddin) == sizeof(void*) && sizeof(IHostedAddin) == sizeof(void*),
              "an interface is one table pointer and nothing else");
static_assert(std::is_same_v<decltype(&IHostedAddin::Startup), HRESULT (STDMETHODCALLTYPE IHostedAddin::*)(void*)>);
static_assert(std::is_same_v<decltype(&IHostedAddin::Reserved1), HRESULT (STDMETHODCALLTYPE IHostedAddin::*)(void*)>);
static_assert(std::is_same_v<decltype(&IHostedAddin::Reserved2), HRESULT (STDMETHODCALLTYPE IHostedAddin::*)()>);
static_assert(
    std::is_same_v<decltype(&IHostedAddin::Reserved3), HRESULT (STDMETHODCALLTYPE IHostedAddin::*)(void*, void*)>);
#if defined(_M_IX86) || defined(__i386__)
// The host pops nothing itself: each method must remove exactly what the host pushed.
static_assert(orvane::abi::CalleePops(&IHostedAddin::Startup) == 8);
static_assert(orvane::abi::CalleePops(&IHostedAddin::Reserved1) == 8);
static_assert(orvane::abi::CalleePops(&IHostedAddin::Reserved2) == 4);
static_assert(orvane::abi::CalleePops(&IHostedAddin::Reserved3) == 12);
#endif
