// The small COM frame the add-in needs: the module's lock count, table-driven QueryInterface, the
// class factory and the locks behind them. Kept apart from the add-in object so that the object is
// only its interfaces.
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

// A critical section whose setup is allowed to fail, as the platform's is; the owner checks Init()
// and refuses to run without it rather than entering a lock that does not exist.
class CriticalSection {
public:
    CriticalSection() noexcept = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() {
        if (ready_) ::DeleteCriticalSection(&section_);
    }

    bool Init() noexcept {
        if (!ready_) ready_ = ::InitializeCriticalSectionAndSpinCount(&section_, 0) != FALSE;
        return ready_;
    }
    void Enter() noexcept { ::EnterCriticalSection(&section_); }
    void Leave() noexcept { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_{};
    bool ready_ = false;
};

class Guard {
public:
    explicit Guard(CriticalSection& section) noexcept : section_(section) { section_.Enter(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() { section_.Leave(); }

private:
    CriticalSection& section_;
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

// Builds an instance of a class: with an outer unknown, the aggregated form.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// The class factory of one creatable class, as the class table caches it. The table's own reference
// does not keep the module loaded; the first reference a client holds does.
class ClassFactory final : public IClassFactory {
public:
    // The new object comes with one reference, the table's.
    static HRESULT Create(InstanceCreator creator, IUnknown** out) noexcept;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    explicit ClassFactory(InstanceCreator creator) noexcept : creator_(creator) {}
    ~ClassFactory() = default;

    // LockServer(TRUE) calls not yet matched, over every factory of the module.
    static inline volatile LONG serverLocks_ = 0;

    volatile LONG refs_ = 0;
    InstanceCreator creator_;
    // Ties each count change to its module-lock decision, so two threads crossing 1<->2 at once
    // cannot leave the module lock off by one.
    CriticalSection lock_;
};

}  // namespace orvane::com
