// The UDP tips service.
#include "script/script_object.hpp"

namespace orvane {

// Not built yet: no request is made, so the callback's reference is released at once.
void ScriptObject::GetTipsId(const std::string&, const std::string&, CallbackRef callback) {
    ReleaseCallback(callback);
}
bool ScriptObject::RecordTipsShow(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&) {
    return false;
}

}  // namespace orvane
