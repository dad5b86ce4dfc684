// The framed-TCP game-platform service.
#include "script/script_object.hpp"

namespace orvane {

// Not built yet: no request is made, so the callback's reference is released at once.
void ScriptObject::GetActiveGame(const std::string&, const std::string&, CallbackRef callback) {
    ReleaseCallback(callback);
}

}  // namespace orvane
