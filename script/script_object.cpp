#include "script/script_object.hpp"

#include <windows.h>

#include "bridge/message_window.hpp"
#include "bridge/speed_limit.hpp"
#include "common/text.hpp"
#include "common/win_handles.hpp"
#include "net/services.hpp"

namespace orvane {
namespace {

// The host's log folder and its own log names; the host writes them, the add-in only clears them.
constexpr wchar_t kHostLogFolder[] = L"C:\\JOTTLE\\";
constexpr wchar_t kHostLogPattern[] = L"JOTTLE.Kestrin[*].*.log";

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

void RemoveHostLogs() {
    const std::wstring folder = kHostLogFolder;
    WIN32_FIND_DATAW entry{};
    UniqueFind search(::FindFirstFileW((folder + kHostLogPattern).c_str(), &entry));
    if (!search) return;  // nothing to remove: leave the folder alone
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            ::DeleteFileW((folder + entry.cFileName).c_str());
        }
    } while (::FindNextFileW(search.get(), &entry));
    search.reset();
    // Succeeds only once nothing else is left in it, which is the point.
    ::RemoveDirectoryW(folder.c_str());
}

void ScriptObject::RemoveLog() { RemoveHostLogs(); }

// The host's scripts may log through the add-in; this build keeps no log, so the line goes nowhere.
void ScriptObject::LogPrint(const std::wstring& /*text*/) {}

void ScriptObject::GetTipsId(const std::string& pid, const std::string& cid, CallbackRef callback) {
    AskTipsId(pid, cid, callback);
}

void ScriptObject::GetActiveGame(const std::string& name, const std::string& type, CallbackRef callback) {
    AskActiveGame(name, type, callback);
}

void ScriptObject::RecordTipsShow(const std::wstring& tipid, const std::wstring& pid, const std::wstring& cid,
                                  const std::wstring& sign) {
    // The report goes out in the system's ANSI code page, unlike the tips request, which goes as given.
    (void)ReportTipShown(Utf16ToAnsi(tipid), Utf16ToAnsi(pid), Utf16ToAnsi(cid), Utf16ToAnsi(sign));
}

bool ScriptObject::SetSpeedLimitHandler(CallbackRef handler) { return StoreSpeedLimitHandler(handler); }

bool ScriptObject::ClearSpeedLimitHandler() { return orvane::ClearSpeedLimitHandler(); }

bool ScriptObject::LimitModeManualChanged() { return PostManualModeChange(); }

}  // namespace orvane
