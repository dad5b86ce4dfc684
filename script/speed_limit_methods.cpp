// The speed-limit hand-shake's methods: the handler the tray program's requests reach, and telling
// the tray that the user changed the mode by hand (bridge/speed_limit.hpp).
#include <utility>

#include "bridge/speed_limit.hpp"
#include "script/script_object.hpp"

namespace orvane {

bool ScriptObject::SetSpeedLimitHandler(CallbackRef handler) { return StoreSpeedLimitHandler(std::move(handler)); }

bool ScriptObject::ClearSpeedLimitHandler() { return orvane::ClearSpeedLimitHandler(); }

bool ScriptObject::LimitModeManualChanged() { return PostManualModeChange(); }

}  // namespace orvane
