// The object behind Orvane.Object and its publication; its methods live in one file per group
// (game_client_methods.cpp, service_methods.cpp, speed_limit_methods.cpp, host_utility_methods.cpp).
#include "script/script_object.hpp"

namespace orvane {
namespace {

// Handed to the runtime; callee-cleans, and always the same object. The first request is the
// object's birth as the host sees it, and the moment its old log files are cleared, once.
void* ORVANE_STDCALL ScriptObjectFactory(void* /*userData*/) {
    static const bool logsCleared = (RemoveHostLogs(), true);
    (void)logsCleared;
    return &ScriptObject::Instance();
}

}  // namespace

constinit ScriptObject ScriptObject::instance_;

void RegisterScriptObject(VemoEnv env) {
    if (env == nullptr) return;
    VemoGlobalObject object{};
    object.factory = &ScriptObjectFactory;
    object.userData = nullptr;
    object.objectName = "Orvane.Object";
    object.className = "Orvane.Class";
    object.methods = kMethodTable;
    object.reserved = 0;
    VemoLRT_RegisterGlobalObj(env, object);
}

}  // namespace orvane
