// Self-registration through the platform's own tools: regsvr32 registers and unregisters a copy of
// the built module, the registry API reads what it left, COM and the stand-in host create the class
// through it. These change HKEY_CLASSES_ROOT, so they run in a Wine prefix of their own.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "addin/registry_script.hpp"
#include "common/win_handles.hpp"
#include "tests/support/time_scale.hpp"
#include "tests/win/com_support.hpp"

namespace orvane::test {
namespace {

const std::wstring kClassKey = L"CLSID\\{0FF6A79F-39C8-44EE-86EF-FD57ECCEEDC5}";
const std::wstring kAppId = L"{420F273D-2A34-443C-A3A4-E55D28FF9DC5}";
const std::wstring kClsid = L"{0FF6A79F-39C8-44EE-86EF-FD57ECCEEDC5}";

// The module is registered from a folder of its own whose name would break a registry script that
// pasted the module path in as text.
struct Installed {
    std::wstring folder;
    std::wstring dll;
};

const Installed& Install() {
    static const Installed installed = [] {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        Installed i;
        i.folder = std::wstring(temp) + L"orvane reg's 100% {test}\\";
        ::CreateDirectoryW(i.folder.c_str(), nullptr);
        i.dll = i.folder + L"Orvane.dll";
        // regsvr32 loads the module from its own folder, so the runtime it imports goes there too.
        for (const wchar_t* file : {L"Orvane.dll", L"VemoLuaRuntime.dll"}) {
            EXPECT_TRUE(::CopyFileW((ExeFolder() + file).c_str(), (i.folder + file).c_str(), FALSE));
        }
        return i;
    }();
    return installed;
}

DWORD RunProcess(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        ADD_FAILURE() << "cannot start the command, error " << ::GetLastError();
        return ~DWORD{0};
    }
    UniqueKernelHandle processHandle(process.hProcess);
    UniqueKernelHandle threadHandle(process.hThread);
    EXPECT_EQ(::WaitForSingleObject(process.hProcess, orvane::test::TimeScaled(120000)), WAIT_OBJECT_0);
    DWORD exitCode = ~DWORD{0};
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    return exitCode;
}

DWORD Regsvr32(const wchar_t* options) {
    return RunProcess(std::wstring(L"regsvr32.exe /s ") + options + L" \"" + Install().dll + L"\"");
}

bool KeyExists(const std::wstring& key) {
    UniqueKey handle;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

// The value as a string, or nothing when it is absent or not REG_SZ.
std::optional<std::wstring> ReadString(const std::wstring& key, const wchar_t* name) {
    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(data);
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return ::lstrcmpiW(a.c_str(), b.c_str()) == 0; }

std::optional<std::wstring> RegisteredTypeLibrary() {
    BSTR path = nullptr;
    if (FAILED(::QueryPathOfRegTypeLib(LIBID_OrvaneLib, 1, 0, 0x409, &path))) return std::nullopt;
    std::wstring result(path, ::SysStringLen(path));
    ::SysFreeString(path);
    return result;
}

struct Entry {
    std::wstring key;
    const wchar_t* name;  // nullptr: the default value
    std::wstring data;
};

std::vector<Entry> EveryEntryOfBothScripts() {
    return {
        {L"AppID\\" + kAppId, nullptr, L"Orvane"},
        {L"AppID\\Orvane.DLL", L"AppID", kAppId},
        {L"Orvane.Addin.1", nullptr, L"Addin Class"},
        {L"Orvane.Addin.1\\CLSID", nullptr, kClsid},
        {L"Orvane.Addin", nullptr, L"Addin Class"},
        {L"Orvane.Addin\\CLSID", nullptr, kClsid},
        {L"Orvane.Addin\\CurVer", nullptr, L"Orvane.Addin.1"},
        {kClassKey, nullptr, L"Addin Class"},
        {kClassKey, L"AppID", kAppId},
        {kClassKey + L"\\ProgID", nullptr, L"Orvane.Addin.1"},
        {kClassKey + L"\\VersionIndependentProgID", nullptr, L"Orvane.Addin"},
        {kClassKey + L"\\InprocServer32", nullptr, Install().dll},
        {kClassKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {kClassKey + L"\\TypeLib", nullptr, L"{28F10A69-F207-4E78-988E-BDA60C2807FE}"},
    };
}

void ExpectEveryEntry() {
    for (const Entry& e : EveryEntryOfBothScripts()) {
        SCOPED_TRACE(testing::PrintToString(e.key + L" : " + (e.name ? e.name : L"(default)")));
        const std::optional<std::wstring> data = ReadString(e.key, e.name);
        ASSERT_TRUE(data.has_value()) << "missing, or not a string";
        EXPECT_TRUE(SamePath(*data, e.data)) << testing::PrintToString(*data);
    }
}

TEST(Registration, RegisterWritesEveryKeyAndValueOfBothScriptsAndTheTypeLibrary) {
    ASSERT_EQ(Regsvr32(L""), 0u);
    ExpectEveryEntry();
    const std::optional<std::wstring> library = RegisteredTypeLibrary();
    ASSERT_TRUE(library.has_value()) << "the type library is not registered";
    EXPECT_TRUE(SamePath(*library, Install().dll)) << testing::PrintToString(*library);
}

std::wstring Wide(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                             static_cast<int>(wide.size()));
    wide.resize(static_cast<std::size_t>(length));
    return wide;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow(text.size() * 3, '\0');
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                                             static_cast<int>(narrow.size()), nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(length));
    return narrow;
}

// Key names and paths compare without regard to case, as the registry and the file system do.
std::wstring Lower(std::wstring text) {
    ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

using Values = std::set<std::tuple<std::wstring, std::wstring, std::wstring>>;  // key, name, data

// Every value below a key of HKEY_CLASSES_ROOT, and every key, by their paths from the root.
void CollectValues(const std::wstring& path, Values& values, std::set<std::wstring>& keys) {
    UniqueKey key;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    keys.insert(Lower(path));
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        wchar_t data[1024] = {};
        DWORD nameLength = 256;
        DWORD size = sizeof(data) - sizeof(wchar_t);
        DWORD type = 0;
        if (::RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        values.insert({Lower(path), Lower(name), type == REG_SZ ? Lower(data) : L"(not a string)"});
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key.get(), i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        CollectValues(path + L"\\" + name, values, keys);
    }
}

TEST(Registration, TypeLibraryKeysAreTheOnesTheInstallerWrites) {
    ASSERT_EQ(Regsvr32(L""), 0u);
    std::ifstream in(ORVANE_TYPELIB_SCRIPT, std::ios::binary);
    ASSERT_TRUE(in) << ORVANE_TYPELIB_SCRIPT;
    std::ostringstream text;
    text << in.rdbuf();
    const std::wstring folder = Install().folder.substr(0, Install().folder.size() - 1);  // no final backslash
    const reg::Replacement replacements[] = {{"MODULE", Narrow(Install().dll)}, {"MODULEFOLDER", Narrow(folder)}};
    const reg::ParseResult parsed = reg::ParseScript(text.str(), replacements);
    ASSERT_FALSE(parsed.error) << parsed.error->message;

    Values planned;
    std::set<std::wstring> plannedKeys;
    for (const reg::Step& step : reg::PlanRegister(parsed.script)) {
        if (step.action == reg::Action::CreateKey) plannedKeys.insert(Lower(Wide(step.path)));
        if (step.action == reg::Action::SetString) {
            planned.insert({Lower(Wide(step.path)), Lower(Wide(step.name)), Lower(Wide(step.data))});
        }
    }
    const std::vector<reg::Step> removal = reg::PlanUnregister(parsed.script);
    ASSERT_EQ(removal.size(), 1u) << "the script removes the library's key, and only that";
    const std::wstring library = Lower(Wide(removal[0].path));

    Values written;
    std::set<std::wstring> writtenKeys;
    CollectValues(library, written, writtenKeys);
    Values comparable;
    for (const auto& [key, name, data] : written) {
        // Wine's loader marks every library it read from a file (LIBFLAG_FHASDISKIMAGE, 8), and its
        // registration writes that mark as well; it is no flag of the library's.
        const bool flags = key.ends_with(L"\\flags") && name.empty();
        comparable.insert({key, name, flags ? std::to_wstring(std::stoul(data) & ~0x8ul) : data});
    }
    std::set<std::wstring> ownKeys;
    for (const std::wstring& key : plannedKeys) {
        if (key.starts_with(library)) ownKeys.insert(key);
    }
    EXPECT_EQ(comparable, planned);
    EXPECT_EQ(writtenKeys, ownKeys);
    // IAddin is neither dual nor automation-compatible, so registration writes no interface key, and
    // the installer has none to write.
    EXPECT_FALSE(KeyExists(L"Interface\\{CDEE2727-F2D1-415D-95F7-5EFD2AE2D252}"));
}

TEST(Registration, RegisteringAgainRewritesTheWholeClassKeyAndNothingElse) {
    ASSERT_EQ(Regsvr32(L""), 0u);
    const std::wstring stray = L"left by an older version";
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CLASSES_ROOT, kClassKey.c_str(), L"Stray", REG_SZ, stray.c_str(),
                                static_cast<DWORD>((stray.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CLASSES_ROOT, (kClassKey + L"\\InprocServer32").c_str(), L"Stray", REG_SZ,
                                stray.c_str(), static_cast<DWORD>((stray.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    {
        UniqueKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CLASSES_ROOT, (kClassKey + L"\\Stray\\Deeper").c_str(), 0, nullptr, 0,
                                    KEY_WRITE, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CLASSES_ROOT, L"Orvane.Addin", L"Stray", REG_SZ, stray.c_str(),
                                static_cast<DWORD>((stray.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);

    ASSERT_EQ(Regsvr32(L""), 0u);
    EXPECT_FALSE(ReadString(kClassKey, L"Stray").has_value());
    EXPECT_FALSE(ReadString(kClassKey + L"\\InprocServer32", L"Stray").has_value());
    EXPECT_FALSE(KeyExists(kClassKey + L"\\Stray"));
    EXPECT_EQ(ReadString(L"Orvane.Addin", L"Stray"), stray) << "only the class key is written from scratch";
    ExpectEveryEntry();
}

TEST(Registration, UnregisterRemovesOwnKeysAndLeavesTheSharedRoots) {
    ASSERT_EQ(Regsvr32(L""), 0u);
    ASSERT_EQ(Regsvr32(L"/u"), 0u);
    const std::wstring removed[] = {L"Orvane.Addin.1", L"Orvane.Addin", kClassKey, L"AppID\\" + kAppId,
                                    L"AppID\\Orvane.DLL"};
    for (const std::wstring& key : removed) {
        EXPECT_FALSE(KeyExists(key)) << testing::PrintToString(key);
    }
    EXPECT_TRUE(KeyExists(L"AppID"));
    EXPECT_TRUE(KeyExists(L"CLSID"));
    EXPECT_FALSE(RegisteredTypeLibrary().has_value());
    EXPECT_EQ(Regsvr32(L"/u"), 0u) << "unregistering what is not registered is no failure";
}

TEST(Registration, RegisteredClassIsCreatableByClsidAndByProgId) {
    ASSERT_EQ(Regsvr32(L""), 0u);
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    for (const wchar_t* progId : {L"Orvane.Addin", L"Orvane.Addin.1"}) {
        CLSID clsid{};
        EXPECT_EQ(::CLSIDFromProgID(progId, &clsid), S_OK) << testing::PrintToString(std::wstring(progId));
        EXPECT_TRUE(::IsEqualGUID(clsid, CLSID_Addin));
    }
    {
        ComRef<IAddin> addin;
        ASSERT_EQ(::CoCreateInstance(CLSID_Addin, nullptr, CLSCTX_INPROC_SERVER, IID_IAddin, addin.put_void()), S_OK);
        ComRef<IHostedAddin> hosted;
        EXPECT_EQ(addin->QueryInterface(IID_IHostedAddin, hosted.put_void()), S_OK);
        EXPECT_NE(::GetModuleHandleW(Install().dll.c_str()), nullptr) << "COM loaded the registered module";
    }
    ::CoUninitialize();
}

TEST(Registration, HostWithoutAnAddinPathCreatesTheRegisteredClass) {
    ASSERT_EQ(Regsvr32(L""), 0u);
    const std::optional<std::wstring> server = ReadString(kClassKey + L"\\InprocServer32", nullptr);
    ASSERT_TRUE(server.has_value());
    const std::wstring command = L"\"" + ExeFolder() +
                                 L"orvane-host.exe\" \"" ORVANE_LUA_TEST_DIR L"/registered_host_test.lua\" \"" +
                                 *server + L"\"";
    // The script finds its helpers beside it; the host it starts inherits this.
    ASSERT_TRUE(::SetEnvironmentVariableW(L"LUA_PATH", ORVANE_LUA_TEST_DIR L"/?.lua"));
    EXPECT_EQ(RunProcess(command), 0u);
}

}  // namespace
}  // namespace orvane::test
