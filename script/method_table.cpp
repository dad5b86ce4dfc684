// Orvane.Object's methods, in the order the host's scripts know them.
#include "script/binding.hpp"

namespace orvane {

using binding::EmptyText;
using binding::False;
using binding::MinusOneAndNil;
using binding::NoValues;
using binding::Row;
using S = ScriptObject;

// constinit: the table is made when the module is built, so nothing runs, or throws, at load.
// NOLINTNEXTLINE(cert-err58-cpp)
constinit const VemoMethod kMethodTable[18] = {
    Row<&S::GetTipsId, NoValues, "GetTipsId">(),
    Row<&S::GetActiveGame, NoValues, "GetActiveGame">(),
    Row<&S::IsOrvaneRun, False, "IsOrvaneRun">(),
    Row<&S::IsOrvaneSetup, False, "IsOrvaneSetup">(),
    Row<&S::LaunchOrvaneSetup, False, "LaunchOrvaneSetup">(),
    Row<&S::LaunchOrvane, False, "LaunchOrvane">(),
    Row<&S::QueryOrvaneSetupStatus, MinusOneAndNil, "QueryOrvaneSetupStatus">(),
    Row<&S::GetDownloadPath, EmptyText, "GetDownloadPath">(),
    Row<&S::SetSpeedLimitHandler, False, "SetSpeedLimitHandler">(),
    Row<&S::ClearSpeedLimitHandler, False, "ClearSpeedLimitHandler">(),
    Row<&S::LimitModeManualChanged, False, "LimitModeManualChanged">(),
    Row<&S::LogPrint, NoValues, "LogPrint">(),
    Row<&S::ExecuteExternal, False, "ExecuteExternal">(),
    Row<&S::SyncHttpRequest, False, "SyncHttpRequest">(),
    Row<&S::IsWindowForeground, False, "IsWindowForeground">(),
    Row<&S::RecordTipsShow, NoValues, "RecordTipsShow">(),
    Row<&S::RemoveLog, NoValues, "RemoveLog">(),
    VemoMethod{nullptr, nullptr, 0},
};

}  // namespace orvane
