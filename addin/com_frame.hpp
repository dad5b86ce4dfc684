// The small COM frame the add-in needs: the module's lock count, table-driven QueryInterface and the
// class factory. Kept apart from the add-in object so that the object is only its interfaces.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstddef>
#include <utility>

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

// One owned reference on an interface pointer.
template <class Interface>
class ComRef {
public:
    ComRef() noexcept = default;
    ComRef(ComRef&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComRef& operator=(ComRef&& other) noexcept {
        if (this != &other) reset(std::exchange(other.pointer_, nullptr));
        return *this;
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() { reset(); }

    Interface* get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }
    void reset(Interface* pointer = nullptr) noexcept {
        Interface* old = std::exchange(pointer_, pointer);
        if (old != nullptr) old->Release();
    }
    // For out-parameters that hand over a reference.
    Interface** put() noexcept {
        reset();
        return &pointer_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    Interface* pointer_ = nullptr;
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
HRESULT QueryFromTable(Object* object, const InterfaceEntry<Object> (&table)[N], REFIID iid, void** out) noexcept {
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

// Builds an instance of a class: with an outer unknown, the aggregated form. Called only by the
// factory, with `out` cleared and, with an outer unknown, only for IUnknown.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// The class object of one creatable class: a static object of the module, never built or freed, so
// a reference on it is nothing but a reason not to unload, and AddRef and Release only move the
// module's lock count.
class ClassFactory final : public IClassFactory {
public:
    constexpr explicit ClassFactory(InstanceCreator creator) noexcept : creator_(creator) {}
    ~ClassFactory() = default;
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    // LockServer(TRUE) calls not yet matched, over every factory of the module.
    static inline volatile LONG serverLocks_ = 0;

    InstanceCreator creator_;
};

}  // namespace orvane::com
