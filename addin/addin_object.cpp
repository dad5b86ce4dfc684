#include "addin/addin_object.hpp"

#include "bridge/message_window.hpp"
#include "runtime/vemo_runtime.h"
#include "script/script_object.hpp"

namespace orvane {
namespace {
const com::InterfaceEntry<AddinObject> kInterfaces[] = {
    {&IID_IAddin, &com::InterfaceOf<AddinObject, IAddin>},
    {&IID_IHostedAddin, &com::InterfaceOf<AddinObject, IHostedAddin>},
};
}  // namespace

HRESULT AddinObject::Create(IUnknown* outer, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) AddinObject();
    if (object == nullptr) return E_OUTOFMEMORY;
    object->AddRef();
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();  // destroys it again when the interface was refused
    return hr;
}

HRESULT AddinObject::QueryInterface(REFIID iid, void** out) { return com::QueryFromTable(this, kInterfaces, iid, out); }

ULONG AddinObject::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG AddinObject::Release() {
    const long count = --refs_;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

// No step's outcome matters to the host: without an environment nothing is published, but the
// window still comes up so that the tray and setup programs find the add-in.
HRESULT AddinObject::Startup(void* /*host*/) {
    VemoEnv env = VemoLRT_GetEnv(nullptr);
    RegisterScriptObject(env);
    VemoLRT_ReleaseEnv(env);
    CreateMessageWindow();
    return S_OK;
}

HRESULT AddinObject::Reserved1(void* /*value*/) { return S_OK; }
HRESULT AddinObject::Reserved2() { return S_OK; }
HRESULT AddinObject::Reserved3(void* /*first*/, void* /*second*/) { return S_OK; }

}  // namespace orvane
