#include "addin/com_frame.hpp"

namespace orvane::com {

HRESULT ClassFactory::QueryInterface(REFIID iid, void** out) {
    static const InterfaceEntry<ClassFactory> table[] = {
        {&IID_IClassFactory, &InterfaceOf<ClassFactory, IClassFactory>},
    };
    return QueryFromTable(this, table, iid, out);
}

// The counts a client sees are for its diagnostics only; these are the ones of a single client
// reference.
ULONG ClassFactory::AddRef() {
    ModuleLock::Lock();
    return 2;
}

ULONG ClassFactory::Release() {
    ModuleLock::Unlock();
    return 1;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    // Aggregated, anything but the inner unknown would hand the outer object a pointer whose
    // references go to itself, and nothing would hold the new object.
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
