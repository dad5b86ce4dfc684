// The tips and game-platform services' methods. Both requests return at once; their answers come to
// the callback later, on the script thread (net/services.hpp).
#include <utility>

#include "common/text.hpp"
#include "net/services.hpp"
#include "script/script_object.hpp"

namespace orvane {

void ScriptObject::GetTipsId(const std::string& pid, const std::string& cid, CallbackRef callback) {
    AskTipsId(pid, cid, std::move(callback));
}

void ScriptObject::GetActiveGame(const std::string& name, const std::string& type, CallbackRef callback) {
    AskActiveGame(name, type, std::move(callback));
}

void ScriptObject::RecordTipsShow(const std::wstring& tipid, const std::wstring& pid, const std::wstring& cid,
                                  const std::wstring& sign) {
    // The report goes out in the system's ANSI code page, unlike the tips request, which goes as given.
    (void)ReportTipShown(Utf16ToAnsi(tipid), Utf16ToAnsi(pid), Utf16ToAnsi(cid), Utf16ToAnsi(sign));
}

}  // namespace orvane
