// Writing and removing the module's registry entries: the registrar that applies the REGISTRY
// resources, and the type library's registration through the platform.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <vector>

#include "addin/registry_script.hpp"

namespace orvane {

inline constexpr WORD kAppIdScript = 101;
inline constexpr WORD kClassScript = 102;
inline constexpr char kAppIdText[] = "{420F273D-2A34-443C-A3A4-E55D28FF9DC5}";

// Applies REGISTRY resources of one module. MODULE is that module's full path, supplied here;
// replacements added later override earlier ones of the same name.
class Registrar {
public:
    void AddReplacement(std::string name, std::string value);
    HRESULT ApplyResource(HMODULE module, WORD id, bool install) const;

private:
    std::vector<reg::Replacement> replacements_;
};

// Applies one of this module's scripts with the extra replacements and APPID.
HRESULT ApplyRegistryScript(WORD id, bool install, std::span<const reg::Replacement> extra);

// The TYPELIB resource of this module, registered with the platform or removed from it again.
HRESULT RegisterTypeLibrary();
HRESULT UnregisterTypeLibrary();

// The full path of a module's file, however long; empty if the platform cannot say.
std::wstring ModulePath(HMODULE module);

}  // namespace orvane
