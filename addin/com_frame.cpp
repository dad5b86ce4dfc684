#include "addin/com_frame.hpp"

#include <new>

namespace orvane::com {

HRESULT ClassFactory::Create(InstanceCreator creator, IUnknown** out) noexcept {
    *out = nullptr;
    auto* factory = new (std::nothrow) ClassFactory(creator);
    if (factory == nullptr) return E_OUTOFMEMORY;
    if (!factory->lock_.Init()) {
        delete factory;
        return E_OUTOFMEMORY;
    }
    factory->AddRef();
    *out = factory;
    return S_OK;
}

HRESULT ClassFactory::QueryInterface(REFIID iid, void** out) {
    static const InterfaceEntry<ClassFactory> table[] = {
        {&IID_IClassFactory, &InterfaceOf<ClassFactory, IClassFactory>},
    };
    return QueryFromTable(this, table, iid, out);
}

ULONG ClassFactory::AddRef() {
    Guard guard(lock_);
    const LONG count = ::InterlockedIncrement(&refs_);
    if (count == 2) ModuleLock::Lock();
    return static_cast<ULONG>(count);
}

ULONG ClassFactory::Release() {
    LONG count;
    {
        Guard guard(lock_);
        count = ::InterlockedDecrement(&refs_);
    }
    if (count == 0) {
        delete this;
    } else if (count == 1) {
        ModuleLock::Unlock();
    }
    return static_cast<ULONG>(count);
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr && !::IsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return creator_(outer, iid, out);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
    if (lock) {
        ::InterlockedIncrement(&serverLocks_);
        ModuleLock::Lock();
        return S_OK;
    }
    // An unlock without a lock would take back a reason that belongs to a live object and let the
    // module be unloaded under it; such an unlock is answered and ignored.
    for (LONG held = serverLocks_; held > 0; held = serverLocks_) {
        if (::InterlockedCompareExchange(&serverLocks_, held - 1, held) == held) {
            ModuleLock::Unlock();
            break;
        }
    }
    return S_OK;
}

}  // namespace orvane::com
