// The two interfaces of the add-in object. IAddin is the identity and has no methods of its own;
// IHostedAddin is how the host drives its add-ins. Slot order and argument counts are the contract:
// the host calls these slots with the callee removing 1, 1, 0 and 2 pointer-sized arguments.
#pragma once

#include <unknwn.h>

// {CDEE2727-F2D1-415D-95F7-5EFD2AE2D252}
inline constexpr IID IID_IAddin = {0xCDEE2727, 0xF2D1, 0x415D, {0x95, 0xF7, 0x5E, 0xFD, 0x2A, 0xE2, 0xD2, 0x52}};
// {25456E39-2283-4CB4-953D-AFD9E794D6FE}
inline constexpr IID IID_IHostedAddin = {0x25456E39, 0x2283, 0x4CB4, {0x95, 0x3D, 0xAF, 0xD9, 0xE7, 0x94, 0xD6, 0xFE}};
// {0FF6A79F-39C8-44EE-86EF-FD57ECCEEDC5}
inline constexpr CLSID CLSID_Addin = {0x0FF6A79F, 0x39C8, 0x44EE, {0x86, 0xEF, 0xFD, 0x57, 0xEC, 0xCE, 0xED, 0xC5}};

struct IAddin : public IUnknown {};

struct IHostedAddin : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Startup(void* host) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved1(void* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved3(void* first, void* second) = 0;
};
