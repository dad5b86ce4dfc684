// The companion game client: detection, launch, setup status and the download folder.
#include <windows.h>

#include "script/script_object.hpp"

namespace orvane {

// Not built yet: each answers the failure value of its method.
bool ScriptObject::IsOrvaneRun() { return false; }
bool ScriptObject::IsOrvaneSetup() { return false; }
bool ScriptObject::LaunchOrvaneSetup(const std::wstring&, const std::wstring&) { return false; }
bool ScriptObject::LaunchOrvane(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&) {
    return false;
}
std::wstring ScriptObject::GetDownloadPath() { return {}; }

}  // namespace orvane
