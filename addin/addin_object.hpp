// The one COM object the add-in serves. Its only work is Startup; everything after that happens in
// script calls and window messages.
#pragma once

#include "addin/com_frame.hpp"
#include "addin/interfaces.h"

namespace orvane {

class AddinObject final : public IAddin, public IHostedAddin {
public:
    static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Startup(void* host) override;
    HRESULT STDMETHODCALLTYPE Reserved1(void* value) override;
    HRESULT STDMETHODCALLTYPE Reserved2() override;
    HRESULT STDMETHODCALLTYPE Reserved3(void* first, void* second) override;

private:
    AddinObject() { com::ModuleLock::Lock(); }
    ~AddinObject() { com::ModuleLock::Unlock(); }

    // Apartment-threaded: only the creating thread calls us, so a plain counter does.
    long refs_ = 0;
};

}  // namespace orvane
