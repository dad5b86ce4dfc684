// Services of the local machine that have nothing to do with the game client.
#include <windows.h>

#include "script/script_object.hpp"

namespace orvane {

// Not built yet: each answers the failure value of its method.
bool ScriptObject::ExecuteExternal(const std::wstring&, const std::wstring&) { return false; }
bool ScriptObject::SyncHttpRequest(const std::wstring&, lua_Integer) { return false; }
bool ScriptObject::IsWindowForeground(void*) { return false; }

}  // namespace orvane
