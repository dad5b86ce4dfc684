// Writing and removing the module's registry entries: the REGISTRY resources applied, and the type
// library's registration through the platform.
#pragma once

#include <windows.h>

#include <string>

#include "addin/identity.hpp"

namespace orvane {

inline constexpr WORD kAppIdScript = 101;
inline constexpr WORD kClassScript = 102;

// Applies one of this module's REGISTRY resources, with MODULE (this module's full path) and APPID.
HRESULT ApplyRegistryScript(WORD id, bool install);

// The TYPELIB resource of this module, registered with the platform or removed from it again.
HRESULT RegisterTypeLibrary();
HRESULT UnregisterTypeLibrary();

// The full path of a module's file, however long; empty if the platform cannot say.
std::wstring ModulePath(HMODULE module);

}  // namespace orvane
