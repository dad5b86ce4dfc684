// The module's entry points: what COM and regsvr32 call by name, and the class table behind them.
#include <windows.h>

#include <cstdlib>
#include <new>
#include <type_traits>

#include "addin/addin_object.hpp"
#include "addin/callee_pops.hpp"
#include "addin/com_frame.hpp"
#include "addin/registration.hpp"
#include "bridge/deliveries.hpp"
#include "bridge/window_messages.hpp"
#include "common/worker.hpp"
#include "net/services.hpp"

namespace orvane {
namespace {

// Built by the compiler: the module has nothing to set up before it can serve, nor to free when it goes.
constinit com::ClassFactory g_addinFactory(&CreateAddin);

// One row per creatable class.
struct ClassEntry {
    const CLSID* clsid;
    WORD registryScript;
    com::ClassFactory* classObject;
};

const ClassEntry g_classes[] = {
    {&CLSID_Addin, kClassScript, &g_addinFactory},
};

// Class registration first, then the type library; the first failure ends it, with nothing undone.
HRESULT UpdateClassTable(bool install) {
    for (const ClassEntry& entry : g_classes) {
        const HRESULT hr = ApplyRegistryScript(entry.registryScript, install);
        if (FAILED(hr)) return hr;
    }
    return install ? RegisterTypeLibrary() : UnregisterTypeLibrary();
}

// Registration builds texts and lists; running out of memory there must not leave as an exception.
template <class Work>
HRESULT Guarded(Work work) noexcept {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace
}  // namespace orvane

#if defined(__GLIBCXX__)
// No exception leaves the add-in's entry points, so terminate can only mean a fault of ours, and
// inside a GUI host nobody reads what the library's default handler prints to stderr. Providing the
// handler here keeps that default, and the symbol demangler it drags in, out of the module.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// The library's own versions of these live in one object with every other error it can throw, and
// that object pulls in its string classes, formatting and std::random_device: a third of the module.
// The add-in tells no such error from running out of memory (every catch of its own is catch (...)
// or bad_alloc), so each is thrown as one. That holds for every caller in the module: a
// std::out_of_range from .at(), or a length_error from a string past max_size(), arrives as
// bad_alloc, and a script or the host then sees the failure of an exhausted memory ("no_memory",
// E_OUTOFMEMORY). Such a fault is misnamed, not hidden: the call still fails. Code that must tell these
// errors apart cannot rely on their types anywhere in this module. The library declares them, never
// returning, with the signatures these must have, variadic one included.
namespace std {  // NOLINT(cert-dcl58-cpp): these replace the library's own definitions on purpose
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_alloc(); }
void __throw_length_error(const char*) { throw bad_alloc(); }
void __throw_logic_error(const char*) { throw bad_alloc(); }
void __throw_out_of_range_fmt(const char*, ...) { throw bad_alloc(); }  // NOLINT(cert-dcl50-cpp)
}  // namespace std
#endif

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    for (const orvane::ClassEntry& entry : orvane::g_classes) {
        if (::IsEqualGUID(clsid, *entry.clsid)) return entry.classObject->QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() {
    // A running worker holds its own reference on the module as well, a request in flight will call back
    // into the script, and a waiting report will start a lookup; counting them here keeps a host from
    // even trying while one is out.
    return orvane::com::ModuleLock::Count() == 0 && orvane::RunningWorkers() == 0 && orvane::LiveRequests() == 0 &&
                   orvane::WaitingReports() == 0
               ? S_OK
               : S_FALSE;
}

// Lets a tool outside the host poke the speed-limit handler: the same as the tray's 0x405, sent to the
// add-in's window of whichever process has one, from any thread. Windows finds a message-only window
// only among the message-only ones; a plain FindWindowW would find it under Wine alone.
extern "C" int WINAPI Test() {
    HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, orvane::kMessageWindowName, orvane::kMessageWindowName);
    if (window == nullptr) window = ::FindWindowW(orvane::kMessageWindowName, orvane::kMessageWindowName);
    return static_cast<int>(::SendMessageW(window, orvane::WM_SPEED_LIMIT_REPLY, 0, 0));
}

extern "C" HRESULT WINAPI DllRegisterServer() {
    return orvane::Guarded([] {
        const HRESULT hr = orvane::ApplyRegistryScript(orvane::kAppIdScript, true);
        if (FAILED(hr)) return hr;
        return orvane::UpdateClassTable(true);
    });
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
    return orvane::Guarded([] {
        const HRESULT hr = orvane::UpdateClassTable(false);
        if (FAILED(hr)) return hr;
        return orvane::ApplyRegistryScript(orvane::kAppIdScript, false);
    });
}

// The export table maps the names onto these exact signatures; the loader and regsvr32 pop nothing.
static_assert(std::is_same_v<decltype(&DllGetClassObject), HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>);
static_assert(std::is_same_v<decltype(&DllCanUnloadNow), HRESULT(WINAPI*)()>);
static_assert(std::is_same_v<decltype(&DllRegisterServer), HRESULT(WINAPI*)()>);
static_assert(std::is_same_v<decltype(&DllUnregisterServer), HRESULT(WINAPI*)()>);
static_assert(std::is_same_v<decltype(&Test), int(WINAPI*)()>);
#if defined(_M_IX86) || defined(__i386__)
static_assert(orvane::abi::CalleePops(&DllGetClassObject) == 12);
static_assert(orvane::abi::CalleePops(&DllCanUnloadNow) == 0);
static_assert(orvane::abi::CalleePops(&DllRegisterServer) == 0);
static_assert(orvane::abi::CalleePops(&DllUnregisterServer) == 0);
static_assert(orvane::abi::CalleePops(&Test) == 0);
#endif
