#include "addin/registration.hpp"

#include <oleauto.h>

#include <string_view>

#include "addin/com_frame.hpp"
#include "addin/registry_script.hpp"
#include "common/text.hpp"
#include "common/win_handles.hpp"
#include "common/worker.hpp"

namespace orvane {
namespace {

HKEY RootKey(reg::Root root) {
    switch (root) {
        case reg::Root::ClassesRoot: return HKEY_CLASSES_ROOT;
        case reg::Root::CurrentUser: return HKEY_CURRENT_USER;
        case reg::Root::LocalMachine: return HKEY_LOCAL_MACHINE;
    }
    return nullptr;
}

LSTATUS Perform(const reg::Step& step) {
    HKEY root = RootKey(step.root);
    const std::wstring path = Utf8ToUtf16(step.path);
    switch (step.action) {
        case reg::Action::DeleteTree: {
            const LSTATUS status = ::RegDeleteTreeW(root, path.c_str());
            // Nothing there is what removal wants.
            return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
        }
        case reg::Action::CreateKey: {
            UniqueKey key;
            return ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                     key.put(), nullptr);
        }
        case reg::Action::SetString: {
            const std::wstring name = Utf8ToUtf16(step.name);
            const std::wstring data = Utf8ToUtf16(step.data);
            return ::RegSetKeyValueW(root, path.c_str(), name.empty() ? nullptr : name.c_str(), REG_SZ, data.c_str(),
                                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        }
    }
    return ERROR_INVALID_FUNCTION;
}

HRESULT LastErrorResult() {
    const DWORD error = ::GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// The registry script as the resource holds it: UTF-8 text, not terminated.
HRESULT LoadScriptText(HMODULE module, WORD id, std::string_view& text) {
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (info == nullptr) return LastErrorResult();
    HGLOBAL loaded = ::LoadResource(module, info);
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (data == nullptr) return LastErrorResult();
    text = std::string_view(static_cast<const char*>(data), ::SizeofResource(module, info));
    return S_OK;
}

HRESULT LoadOwnTypeLibrary(com::ComRef<ITypeLib>& library, std::wstring& path) {
    path = ModulePath(ThisModule());
    if (path.empty()) return LastErrorResult();
    return ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
}

}  // namespace

std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);  // cut short: the platform filled the whole buffer
    }
}

HRESULT ApplyRegistryScript(WORD id, bool install) {
    const HMODULE module = ThisModule();
    std::string_view text;
    HRESULT hr = LoadScriptText(module, id, text);
    if (FAILED(hr)) return hr;
    const std::wstring modulePath = ModulePath(module);
    if (modulePath.empty()) return LastErrorResult();

    const reg::Replacement replacements[] = {{"MODULE", Utf16ToUtf8(modulePath)}, {"APPID", kAppIdText}};
    const reg::ParseResult parsed = reg::ParseScript(text, replacements);
    // The scripts are part of the build and tested there; a broken one is a broken module.
    if (parsed.error) return E_UNEXPECTED;

    for (const reg::Step& step : install ? reg::PlanRegister(parsed.script) : reg::PlanUnregister(parsed.script)) {
        const LSTATUS status = Perform(step);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    }
    return S_OK;
}

HRESULT RegisterTypeLibrary() {
    com::ComRef<ITypeLib> library;
    std::wstring path;
    HRESULT hr = LoadOwnTypeLibrary(library, path);
    if (FAILED(hr)) return hr;
    return ::RegisterTypeLib(library.get(), path.data(), nullptr);
}

HRESULT UnregisterTypeLibrary() {
    com::ComRef<ITypeLib> library;
    std::wstring path;
    HRESULT hr = LoadOwnTypeLibrary(library, path);
    if (FAILED(hr)) return hr;
    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (FAILED(hr)) return hr;
    const TLIBATTR a = *attributes;
    library->ReleaseTLibAttr(attributes);
    // A library that is not registered is as unregistered as it gets; failing here would keep a
    // second unregistration from reaching the AppID entries.
    BSTR registeredPath = nullptr;
    hr = ::QueryPathOfRegTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, &registeredPath);
    ::SysFreeString(registeredPath);
    if (hr == TYPE_E_LIBNOTREGISTERED) return S_OK;
    return ::UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
}

}  // namespace orvane
