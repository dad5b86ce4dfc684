// The built module as its clients meet it: loaded from beside the test program and driven through
// its exports, never through the sources linked in.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <string>

#include "addin/com_frame.hpp"
#include "addin/interfaces.h"

namespace orvane::test {

using com::ComRef;

inline std::wstring ExeFolder() {
    wchar_t buffer[MAX_PATH * 4] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
    std::wstring path(buffer, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

struct Module {
    HMODULE handle = nullptr;
    std::wstring path;
    HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* canUnloadNow)() = nullptr;

    HRESULT ClassFactory(ComRef<IClassFactory>& factory) const {
        return getClassObject(CLSID_Addin, IID_IClassFactory, factory.put_void());
    }
};

template <class Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Loaded once and never unloaded: message windows created by Startup keep their procedure in it.
inline const Module& Orvane() {
    static const Module module = [] {
        Module m;
        m.path = ExeFolder() + L"Orvane.dll";
        m.handle = ::LoadLibraryW(m.path.c_str());
        if (m.handle != nullptr) {
            wchar_t loaded[MAX_PATH * 4] = {};
            m.path.assign(loaded, ::GetModuleFileNameW(m.handle, loaded, static_cast<DWORD>(std::size(loaded))));
            m.getClassObject = Export<decltype(m.getClassObject)>(m.handle, "DllGetClassObject");
            m.canUnloadNow = Export<decltype(m.canUnloadNow)>(m.handle, "DllCanUnloadNow");
        }
        return m;
    }();
    return module;
}

}  // namespace orvane::test
