#include "addin/registry_script.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace orvane::reg {

// Found by GoogleTest next to Step, so a failing plan comparison lists the steps readably.
void PrintTo(const Step& step, std::ostream* out);
void PrintTo(const Step& step, std::ostream* out) {
    constexpr const char* kActions[] = {"DeleteTree", "CreateKey", "SetString"};
    *out << kActions[static_cast<int>(step.action)] << "(" << step.path << ", " << step.name << ", " << step.data
         << ")";
}

namespace {

constexpr char kAppId[] = "{420F273D-2A34-443C-A3A4-E55D28FF9DC5}";
constexpr char kClsid[] = "{0FF6A79F-39C8-44EE-86EF-FD57ECCEEDC5}";
// A module path with every character that would break a script if it were pasted in as text.
constexpr char kAwkwardModule[] = "C:\\Bob's 100% = {apps}\\Orvane.dll";

std::string ReadShipped(const char* name) {
    std::ifstream in(std::string(ORVANE_ADDIN_SOURCE_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Script MustParse(const std::string& text, const std::vector<Replacement>& replacements) {
    ParseResult parsed = ParseScript(text, replacements);
    EXPECT_FALSE(parsed.error) << "line " << parsed.error->line << ": " << parsed.error->message;
    return parsed.script;
}

Step Delete(std::string path) { return {Action::DeleteTree, Root::ClassesRoot, std::move(path), {}, {}}; }
Step Create(std::string path) { return {Action::CreateKey, Root::ClassesRoot, std::move(path), {}, {}}; }
Step Set(std::string path, std::string name, std::string data) {
    return {Action::SetString, Root::ClassesRoot, std::move(path), std::move(name), std::move(data)};
}

TEST(RegistryScript, ClassScriptRegistersProgIdsAndRewritesTheClassKey) {
    const Script script =
        MustParse(ReadShipped("addin_class.regscript"), {{"APPID", kAppId}, {"MODULE", kAwkwardModule}});
    const std::string cls = std::string("CLSID\\") + kClsid;
    const std::vector<Step> expected = {
        Create("Orvane.Addin.1"),
        Set("Orvane.Addin.1", "", "Addin Class"),
        Create("Orvane.Addin.1\\CLSID"),
        Set("Orvane.Addin.1\\CLSID", "", kClsid),
        Create("Orvane.Addin"),
        Set("Orvane.Addin", "", "Addin Class"),
        Create("Orvane.Addin\\CLSID"),
        Set("Orvane.Addin\\CLSID", "", kClsid),
        Create("Orvane.Addin\\CurVer"),
        Set("Orvane.Addin\\CurVer", "", "Orvane.Addin.1"),
        Create("CLSID"),
        Delete(cls),
        Create(cls),
        Set(cls, "", "Addin Class"),
        Set(cls, "AppID", kAppId),
        Create(cls + "\\ProgID"),
        Set(cls + "\\ProgID", "", "Orvane.Addin.1"),
        Create(cls + "\\VersionIndependentProgID"),
        Set(cls + "\\VersionIndependentProgID", "", "Orvane.Addin"),
        Create(cls + "\\InprocServer32"),
        Set(cls + "\\InprocServer32", "", kAwkwardModule),
        Set(cls + "\\InprocServer32", "ThreadingModel", "Apartment"),
        Create(cls + "\\TypeLib"),
        Set(cls + "\\TypeLib", "", "{28F10A69-F207-4E78-988E-BDA60C2807FE}"),
    };
    EXPECT_EQ(PlanRegister(script), expected);
}

TEST(RegistryScript, ClassScriptUnregistersOwnKeysButNeverTheClsidRoot) {
    const Script script = MustParse(ReadShipped("addin_class.regscript"), {{"APPID", kAppId}, {"MODULE", "m"}});
    const std::vector<Step> expected = {
        Delete("Orvane.Addin.1"),
        Delete("Orvane.Addin"),
        Delete(std::string("CLSID\\") + kClsid),
    };
    EXPECT_EQ(PlanUnregister(script), expected);
}

TEST(RegistryScript, AppIdScriptWritesAndRemovesBothEntriesButNeverTheAppIdRoot) {
    // Applied with APPID given twice, as registration does; both carry the same text.
    const Script script = MustParse(ReadShipped("appid.regscript"), {{"APPID", kAppId}, {"APPID", kAppId}});
    const std::string entry = std::string("AppID\\") + kAppId;
    const std::vector<Step> registerSteps = {
        Create("AppID"),
        Create(entry),
        Set(entry, "", "Orvane"),
        Create("AppID\\Orvane.DLL"),
        Set("AppID\\Orvane.DLL", "AppID", kAppId),
    };
    EXPECT_EQ(PlanRegister(script), registerSteps);
    EXPECT_EQ(PlanUnregister(script), (std::vector<Step>{Delete(entry), Delete("AppID\\Orvane.DLL")}));
}

TEST(RegistryScript, KeysBelowARemovedKeyGoWithItAndKeysBelowAKeptKeyGoAlone) {
    const Script script = MustParse(
        "HKCU\n"
        "  keep Shared\n"
        "    Ours = 'x'\n"
        "      Child\n"
        "        Grandchild\n"
        "    keep AlsoShared\n"
        "      Deep\n"
        "  replace Whole\n"
        "    Inner\n",
        {});
    std::vector<std::string> removed;
    for (const Step& step : PlanUnregister(script)) {
        EXPECT_EQ(step.action, Action::DeleteTree);
        EXPECT_EQ(step.root, Root::CurrentUser);
        removed.push_back(step.path);
    }
    EXPECT_EQ(removed, (std::vector<std::string>{"Shared\\Ours", "Shared\\AlsoShared\\Deep", "Whole"}));
}

TEST(RegistryScript, QuotingAndReplacementsResolveToTheIntendedText) {
    struct Case {
        const char* line;  // a key line below HKCR
        const char* name;
        const char* data;
    };
    const Case cases[] = {
        {"K = 'plain'", "K", "plain"},
        {"'value' = 'a key called value'", "value", "a key called value"},
        {"'keep'", "keep", ""},
        {"K = 'it''s'", "K", "it's"},
        {"K = '100%%'", "K", "100%"},
        {"%NAME% = '%PATH%'", "Named", kAwkwardModule},
        {"K='tight'", "K", "tight"},
        {"K = '# not a comment'  # a comment", "K", "# not a comment"},
        {"K = 'last %TWICE% wins'", "K", "last second wins"},
    };
    const std::vector<Replacement> replacements = {
        {"NAME", "Named"}, {"PATH", kAwkwardModule}, {"TWICE", "first"}, {"TWICE", "second"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Script script = MustParse(std::string("HKCR\n  ") + c.line + "\n", replacements);
        ASSERT_EQ(script.keys.size(), 2u);
        EXPECT_EQ(script.keys[1].path, c.name);
        if (*c.data == '\0' && script.keys[1].values.empty()) continue;
        ASSERT_EQ(script.keys[1].values.size(), 1u);
        EXPECT_EQ(script.keys[1].values[0], (Value{"", c.data}));
    }
}

TEST(RegistryScript, MalformedScriptsAreRefusedAtTheOffendingLine) {
    struct Case {
        const char* text;
        int line;
    };
    const Case cases[] = {
        {"", 0},
        {"# only a comment\n", 1},
        {"  HKCR\n", 1},
        {"HKEY_NOWHERE\n", 1},
        {"HKCR extra\n", 1},
        {"HKCR\n\tK\n", 2},
        {"HKCR\n  K = 'open\n", 2},
        {"HKCR\n  K = %NOPE%\n", 2},
        {"HKCR\n  K = '50% off'\n", 2},
        {"HKCR\n  K 'trailing'\n", 2},
        {"HKCR\n  K =\n", 2},
        {"HKCR\n  A\\B\n", 2},
        {"HKCR\n  ''\n", 2},
        {"HKCR\n  value V = 'on a root'\n", 2},
        {"HKCR\n  keep K = 'data'\n", 2},
        {"HKCR\n  keep K\n    value V = 'data'\n", 3},
        {"HKCR\n  K\n    value V 'data'\n", 3},
        {"HKCR\n  K\n    value '' = 'data'\n", 3},
        {"HKCR\n  K\n    value V = 'data'\n      Child\n", 4},
        {"HKCR\n  K\n    Child\n  keep k\n", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ParseResult parsed = ParseScript(c.text, {});
        ASSERT_TRUE(parsed.error.has_value());
        EXPECT_EQ(parsed.error->line, c.line) << parsed.error->message;
        EXPECT_TRUE(parsed.script.keys.empty());
        EXPECT_FALSE(parsed.error->message.empty());
    }
}

}  // namespace
}  // namespace orvane::reg
