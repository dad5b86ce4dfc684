#include "host/addin_loader.hpp"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/text.hpp"
#include "common/win_handles.hpp"

namespace orvane::host {

LoadedAddin g_addin;

std::string hresultText(HRESULT hr) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(hr));
    return buffer;
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "orvane-host: %s\n", message.c_str());
    std::fflush(stderr);
    std::exit(2);
}

std::wstring exeFolder() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            std::wstring path(buffer.data(), length);
            const std::size_t slash = path.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
        }
        buffer.resize(buffer.size() * 2);
    }
}

namespace {

std::wstring clsidText() {
    wchar_t text[64] = {};
    StringFromGUID2(CLSID_Addin, text, 64);
    return text;
}

// The registered server's path, or empty when the class is not registered.
std::wstring registeredServer() {
    const std::wstring key = L"CLSID\\" + clsidText() + L"\\InprocServer32";
    orvane::UniqueKey handle;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.put()) != ERROR_SUCCESS) {
        return {};
    }
    wchar_t value[MAX_PATH + 1] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    std::wstring path = L"(registered)";
    const LSTATUS read = RegQueryValueExW(handle.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    if (read == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && value[0] != L'\0') {
        path = value;
    }
    return path;
}

IUnknown* createThroughCom() {
    IUnknown* object = nullptr;
    const HRESULT hr =
        CoCreateInstance(CLSID_Addin, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object));
    if (FAILED(hr)) {
        std::fprintf(stderr,
                     "orvane-host: CoCreateInstance of the registered add-in failed (%s); loading it directly\n",
                     hresultText(hr).c_str());
        return nullptr;
    }
    return object;
}

IUnknown* createFromModule(const std::wstring& path) {
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        fail("cannot load " + Utf16ToUtf8(path) + " (error " + std::to_string(GetLastError()) + ")");
    }
    g_addin.module = module;
    g_addin.modulePath = path;
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject = procAddress<GetClassObject>(module, "DllGetClassObject");
    if (getClassObject == nullptr) {
        fail(Utf16ToUtf8(path) + " exports no DllGetClassObject");
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(CLSID_Addin, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || factory == nullptr) {
        fail("DllGetClassObject failed (" + hresultText(hr) + ")");
    }
    IUnknown* object = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
    factory->Release();
    if (FAILED(hr) || object == nullptr) {
        fail("IClassFactory::CreateInstance failed (" + hresultText(hr) + ")");
    }
    return object;
}

}  // namespace

void createAddin(const std::wstring& explicitPath) {
    IUnknown* object = nullptr;
    if (explicitPath.empty()) {
        const std::wstring server = registeredServer();
        if (!server.empty()) {
            object = createThroughCom();
            if (object != nullptr) {
                g_addin.path = Utf16ToUtf8(server);
                g_addin.module = GetModuleHandleW(server.c_str());
            }
        }
    }
    if (object == nullptr) {
        const std::wstring path = explicitPath.empty() ? exeFolder() + L"Orvane.dll" : explicitPath;
        object = createFromModule(path);
        g_addin.path = Utf16ToUtf8(path);
    }
    IHostedAddin* hosted = nullptr;
    const HRESULT hr = object->QueryInterface(IID_IHostedAddin, reinterpret_cast<void**>(&hosted));
    object->Release();
    if (FAILED(hr) || hosted == nullptr) {
        fail("the add-in object has no IHostedAddin (" + hresultText(hr) + ")");
    }
    g_addin.object = hosted;
}

void startAddin(int times) {
    for (int n = 0; n < times; ++n) {
        g_addin.startupCalled = true;
        g_addin.startupResult = g_addin.object->Startup(nullptr);
        if (FAILED(g_addin.startupResult)) {
            std::fprintf(stderr, "orvane-host: Startup returned %s\n", hresultText(g_addin.startupResult).c_str());
            std::fflush(stderr);
        }
    }
}

std::optional<ULONG> releaseAddin() {
    if (g_addin.object == nullptr) {
        return std::nullopt;
    }
    IHostedAddin* addin = g_addin.object;
    g_addin.object = nullptr;
    return addin->Release();
}

}  // namespace orvane::host
