// The one COM object the add-in serves. Its only work is Startup; everything after that happens in
// script calls and window messages. It comes alone or aggregated inside an outer object; both forms
// answer the same two interfaces with the same methods.
#pragma once

#include "addin/com_frame.hpp"
#include "addin/interfaces.h"

namespace orvane {

// The class factory's instance creator: the plain object, or with an outer unknown the aggregated
// one, whose inner unknown is what `out` receives. The factory has checked `out` and aggregation.
HRESULT CreateAddin(IUnknown* outer, REFIID iid, void** out) noexcept;

// Startup and the reserved slots, shared by both forms; the forms differ only in who answers the
// IUnknown slots of IAddin and IHostedAddin. Every live instance is a reason not to unload.
class AddinMethods : public IAddin, public IHostedAddin {
public:
    HRESULT STDMETHODCALLTYPE Startup(void* host) override;
    HRESULT STDMETHODCALLTYPE Reserved1(void* value) override;
    HRESULT STDMETHODCALLTYPE Reserved2() override;
    HRESULT STDMETHODCALLTYPE Reserved3(void* first, void* second) override;

    AddinMethods(const AddinMethods&) = delete;
    AddinMethods& operator=(const AddinMethods&) = delete;

protected:
    AddinMethods() noexcept { com::ModuleLock::Lock(); }
    ~AddinMethods() { com::ModuleLock::Unlock(); }

    // The interface table: IAddin (also IUnknown), IHostedAddin.
    HRESULT QueryTable(REFIID iid, void** out) noexcept;
};

class AddinObject final : public AddinMethods {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

private:
    friend HRESULT CreateAddin(IUnknown*, REFIID, void**) noexcept;
    AddinObject() noexcept = default;
    ~AddinObject() = default;

    // Apartment-threaded: only the creating thread calls us, so a plain counter does.
    long refs_ = 0;
};

// Aggregated: IAddin and IHostedAddin belong to the outer object's identity, so their IUnknown slots
// go to the outer unknown; the inner unknown alone controls this object's lifetime.
class AggregatedAddin final : public AddinMethods {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

private:
    friend HRESULT CreateAddin(IUnknown*, REFIID, void**) noexcept;

    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(AggregatedAddin* owner) noexcept : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

    private:
        AggregatedAddin* owner_;
        long refs_ = 0;  // apartment-threaded, as the plain object
    };

    explicit AggregatedAddin(IUnknown* outer) noexcept : outer_(outer), inner_(this) {}
    ~AggregatedAddin() = default;

    // The outer object owns us; a reference on it would keep it alive forever.
    IUnknown* outer_;
    InnerUnknown inner_;
};

}  // namespace orvane
