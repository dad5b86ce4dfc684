// The module's entry points: what COM and regsvr32 call by name.
#include <windows.h>

#include <cstdlib>
#include <mutex>

#include "addin/addin_object.hpp"
#include "addin/com_frame.hpp"
#include "bridge/message_window.hpp"
#include "common/worker.hpp"

namespace orvane {
namespace {

// The class table's one entry: its class object is built on first request and cached until unload.
std::mutex g_classTableLock;
IClassFactory* g_classObject = nullptr;

HRESULT CachedClassObject(IClassFactory** out) {
    std::lock_guard<std::mutex> lock(g_classTableLock);
    if (g_classObject == nullptr) {
        auto* factory = new (std::nothrow) com::ClassFactory<AddinObject>();
        if (factory == nullptr) return E_OUTOFMEMORY;
        factory->AddRef();  // the table's reference
        g_classObject = factory;
    }
    *out = g_classObject;
    return S_OK;
}

}  // namespace
}  // namespace orvane

using orvane::com::ModuleLock;

#if defined(__GLIBCXX__)
// No exception leaves the add-in's entry points, so terminate can only mean a fault of ours, and
// inside a GUI host nobody reads what the library's default handler prints to stderr. Providing the
// handler here keeps that default, and the symbol demangler it drags in, out of the module.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded by FreeLibrary: let go of the cached class object. At process exit nothing is
        // torn down; the process takes it all.
        if (orvane::g_classObject != nullptr) orvane::g_classObject->Release();
        orvane::g_classObject = nullptr;
        orvane::RetireMessageWindows();
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!::IsEqualGUID(clsid, CLSID_Addin)) return CLASS_E_CLASSNOTAVAILABLE;
    IClassFactory* factory = nullptr;
    const HRESULT hr = orvane::CachedClassObject(&factory);
    if (FAILED(hr)) return hr;
    return factory->QueryInterface(iid, out);
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    // A running worker holds its own reference on the module as well; counting it here keeps a
    // host from even trying while one is out.
    return ModuleLock::Count() == 0 && orvane::RunningWorkers() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT WINAPI DllRegisterServer() { return E_NOTIMPL; }

extern "C" HRESULT WINAPI DllUnregisterServer() { return E_NOTIMPL; }
