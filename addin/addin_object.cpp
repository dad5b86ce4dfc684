#include "addin/addin_object.hpp"

#include <new>

#include "bridge/message_table.hpp"
#include "common/failure.hpp"
#include "common/thread_checks.hpp"
#include "common/worker.hpp"
#include "runtime/vemo_runtime.h"
#include "script/script_object.hpp"

namespace orvane {
namespace {
const com::InterfaceEntry<AddinMethods> kInterfaces[] = {
    {&IID_IAddin, &com::InterfaceOf<AddinMethods, IAddin>},
    {&IID_IHostedAddin, &com::InterfaceOf<AddinMethods, IHostedAddin>},
};

// Holds the new object over the query, so that a refused interface destroys it again and takes
// its module lock back.
template <class Unknown>
HRESULT QueryNew(Unknown* unknown, REFIID iid, void** out) noexcept {
    unknown->AddRef();
    const HRESULT hr = unknown->QueryInterface(iid, out);
    unknown->Release();
    return hr;
}
}  // namespace

HRESULT CreateAddin(IUnknown* outer, REFIID iid, void** out) noexcept {
    if (outer == nullptr) {
        auto* object = new (std::nothrow) AddinObject();
        if (object == nullptr) return E_OUTOFMEMORY;
        return QueryNew(static_cast<IAddin*>(object), iid, out);
    }
    auto* object = new (std::nothrow) AggregatedAddin(outer);
    if (object == nullptr) return E_OUTOFMEMORY;
    return QueryNew(&object->inner_, iid, out);
}

HRESULT AddinMethods::QueryTable(REFIID iid, void** out) noexcept {
    return com::QueryFromTable(this, kInterfaces, iid, out);
}

HRESULT AddinObject::QueryInterface(REFIID iid, void** out) { return QueryTable(iid, out); }

ULONG AddinObject::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG AddinObject::Release() {
    const long count = --refs_;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT AggregatedAddin::QueryInterface(REFIID iid, void** out) { return outer_->QueryInterface(iid, out); }
ULONG AggregatedAddin::AddRef() { return outer_->AddRef(); }
ULONG AggregatedAddin::Release() { return outer_->Release(); }

HRESULT AggregatedAddin::InnerUnknown::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (::IsEqualGUID(iid, IID_IUnknown)) {
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    return owner_->QueryTable(iid, out);
}

ULONG AggregatedAddin::InnerUnknown::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG AggregatedAddin::InnerUnknown::Release() {
    const long count = --refs_;
    if (count == 0) delete owner_;
    return static_cast<ULONG>(count);
}

// No step's outcome matters to the host: without an environment nothing is published, but the
// window still comes up so that the tray and setup programs find the add-in.
HRESULT AddinMethods::Startup(void* /*host*/) {
    // From here on the runtime holds our factory and method table, and the window our procedure, for
    // as long as the process lives, and nothing withdraws them: so the module stays as long. A module
    // that cannot stay hands out nothing.
    if (!PinThisModule()) return S_OK;
    // An apartment-threaded class may be started again from another apartment's thread. Everything
    // the add-in keeps for scripts (its window, the handler, the notes of Lua states) belongs to the
    // first thread, unlocked: a second one publishes nothing and makes no window, and is written down.
    if (!ClaimThread(ThreadRole::Script)) {
        ReportFailure("Startup", Failure::NotScriptThread);
        return S_OK;
    }
    VemoEnv env = VemoLRT_GetEnv(nullptr);
    RegisterScriptObject(env);
    VemoLRT_ReleaseEnv(env);
    CreateMessageWindow();
    return S_OK;
}

HRESULT AddinMethods::Reserved1(void* /*value*/) { return S_OK; }
HRESULT AddinMethods::Reserved2() { return S_OK; }
HRESULT AddinMethods::Reserved3(void* /*first*/, void* /*second*/) { return S_OK; }

}  // namespace orvane
