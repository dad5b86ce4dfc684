// The small COM frame the add-in needs: the module's lock count, table-driven QueryInterface and a
// class factory. Kept apart from the add-in object so that registration and aggregation can grow
// here without touching it.
#pragma once

#include <unknwn.h>

#include <new>

namespace orvane::com {

// Outstanding reasons not to unload: live objects, a client's hold on the class object, unmatched
// LockServer(TRUE) calls. Changed from any thread.
class ModuleLock {
public:
    static void Lock() noexcept { ::InterlockedIncrement(&count_); }
    static void Unlock() noexcept { ::InterlockedDecrement(&count_); }
    static long Count() noexcept { return count_; }

private:
    static inline volatile LONG count_ = 0;
};

// One row of an object's interface table. The first row also answers IUnknown: it is the identity.
template <class Object>
struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*cast)(Object* object);
};

template <class Object, class Interface>
IUnknown* InterfaceOf(Object* object) {
    return static_cast<Interface*>(object);
}

template <class Object, std::size_t N>
HRESULT QueryFromTable(Object* object, const InterfaceEntry<Object> (&table)[N], REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        if (::IsEqualGUID(iid, *table[i].iid) || (i == 0 && ::IsEqualGUID(iid, IID_IUnknown))) {
            IUnknown* found = table[i].cast(object);
            found->AddRef();
            *out = found;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

// The class factory of one creatable class. Object::Create(outer, iid, out) builds an instance.
template <class Object>
class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        static const InterfaceEntry<ClassFactory> table[] = {
            {&IID_IClassFactory, &InterfaceOf<ClassFactory, IClassFactory>}};
        return QueryFromTable(this, table, iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        const LONG count = ::InterlockedIncrement(&refs_);
        // The class table's own reference does not hold the module; a client's does.
        if (count == 2) ModuleLock::Lock();
        return static_cast<ULONG>(count);
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = ::InterlockedDecrement(&refs_);
        if (count == 1) ModuleLock::Unlock();
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr && !::IsEqualGUID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        return Object::Create(outer, iid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) ModuleLock::Lock();
        else ModuleLock::Unlock();
        return S_OK;
    }

private:
    volatile LONG refs_ = 0;
};

}  // namespace orvane::com
