// The native object behind Orvane.Object. It holds no data: what the methods share lives in the
// records of their subsystems, so it does not matter which pointer an operation is called through.
#pragma once

#include <string>

#include "bridge/callback_ref.hpp"
#include "bridge/setup_status.hpp"
#include "runtime/vemo_runtime.h"

namespace orvane {

class ScriptObject {
public:
    // The one instance. It holds nothing, so it is there from load and a method call pays nothing
    // to reach it; the host's log files go when the runtime first asks for it (see the factory).
    static ScriptObject& Instance() { return instance_; }

    ~ScriptObject() = default;
    ScriptObject(const ScriptObject&) = delete;
    ScriptObject& operator=(const ScriptObject&) = delete;

    // Tips and game-platform services (service_methods.cpp): the callback is called later, once, on the
    // script thread.
    void GetTipsId(const std::string& pid, const std::string& cid, CallbackRef callback);
    void GetActiveGame(const std::string& name, const std::string& type, CallbackRef callback);
    void RecordTipsShow(const std::wstring& tipid, const std::wstring& pid, const std::wstring& cid,
                        const std::wstring& sign);

    // The companion game client (game_client_methods.cpp).
    bool IsOrvaneRun();
    bool IsOrvaneSetup();
    bool LaunchOrvaneSetup(const std::wstring& path, const std::wstring& parameters);
    bool LaunchOrvane(const std::wstring& userName, const std::wstring& jumpKey, const std::wstring& gameId,
                      const std::wstring& startFrom);
    SetupStatus QueryOrvaneSetupStatus() { return CurrentSetupStatus(); }
    std::wstring GetDownloadPath();

    // The speed-limit hand-shake with the tray program (speed_limit_methods.cpp).
    bool SetSpeedLimitHandler(CallbackRef handler);
    bool ClearSpeedLimitHandler();
    bool LimitModeManualChanged();

    // Host utilities (host_utility_methods.cpp).
    void LogPrint(const std::wstring& text);
    bool ExecuteExternal(const std::wstring& path, const std::wstring& parameters);
    bool SyncHttpRequest(const std::wstring& url, lua_Integer timeLimitMs);
    bool IsWindowForeground(void* window);
    void RemoveLog();

private:
    constexpr ScriptObject() = default;
    static ScriptObject instance_;
};

// Deletes the host's own log files from its fixed log folder; runs on the runtime's first request
// for the object and on RemoveLog.
void RemoveHostLogs() noexcept;

// Publishes Orvane.Object into the environment; nothing happens for a null environment.
void RegisterScriptObject(VemoEnv env);

// The method table handed to the runtime: seventeen rows and the all-zero row that ends it.
extern const VemoMethod kMethodTable[18];

}  // namespace orvane
