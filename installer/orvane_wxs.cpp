// orvane-wxs: the installer's registry rows, made at build time from the module's own registry
// scripts by the parser that DllRegisterServer applies them with, so that the two cannot tell the
// registry different things. It runs on the build machine.
//
//   orvane-wxs plan [NAME=VALUE]... -- SCRIPT...
//       The parser's plans of the scripts, in the order given: every register step, then every
//       unregister step, one a line, tab-separated (phase, action, root, path, name, data), with
//       control characters and % written as %XX. APPID is the module's; NAME=VALUE adds or overrides.
//   orvane-wxs wxs VERSION FRAGMENT PRODUCT REMOVE_IDT -- SCRIPT...
//       FRAGMENT: the WiX fragment a host's product includes (ComponentGroup "Orvane").
//       PRODUCT: the standalone per-machine x86 product around it.
//       REMOVE_IDT: the RemoveRegistry table of the standalone product, which wixl cannot author.
//
// The scripts are applied in DllRegisterServer's order: the AppID script, the class script, then what
// the platform's type-library registration writes. MODULE stands for the installed file and
// MODULEFOLDER for its folder.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "addin/identity.hpp"
#include "addin/registry_script.hpp"

namespace {

using orvane::reg::Action;
using orvane::reg::Root;
using orvane::reg::Step;

// Windows Installer knows the component by this GUID and the product family by the upgrade code: a
// new one would make every installed copy a stranger to the next package. One GUID is one file in
// one place, so every product that includes the fragment installs it in the same folder, which suits
// a class that can name only one DLL on a machine. The folder's id is not a public property, so no
// command line can move it.
constexpr char kComponentGuid[] = "{17EE0159-8F37-422F-AE93-0E08B2F585F0}";
constexpr char kUpgradeCode[] = "{88C5ABDA-D72C-45D6-9B71-DD4D9500482B}";

// Stand-ins for the installer's references, put in through the parser and swapped for the
// references once the text around them is escaped; no script may hold the marker byte itself.
constexpr char kMarker = '\x01';
constexpr std::string_view kModuleMark = "\x01MODULE\x01";
constexpr std::string_view kFolderMark = "\x01MODULEFOLDER\x01";

struct Plan {
    std::vector<Step> registers;
    std::vector<Step> unregisters;
};

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

bool MakePlan(const std::vector<std::string>& scripts, const std::vector<orvane::reg::Replacement>& replacements,
              Plan& plan) {
    for (const std::string& path : scripts) {
        std::string text;
        if (!ReadFile(path, text)) {
            std::cerr << "orvane-wxs: cannot read " << path << "\n";
            return false;
        }
        if (text.find(kMarker) != std::string::npos) {
            std::cerr << "orvane-wxs: " << path << " holds a control character 0x01\n";
            return false;
        }
        const orvane::reg::ParseResult parsed = orvane::reg::ParseScript(text, replacements);
        if (parsed.error) {
            std::cerr << path << ":" << parsed.error->line << ": " << parsed.error->message << "\n";
            return false;
        }
        for (Step& step : orvane::reg::PlanRegister(parsed.script)) plan.registers.push_back(std::move(step));
        for (Step& step : orvane::reg::PlanUnregister(parsed.script)) plan.unregisters.push_back(std::move(step));
    }
    return true;
}

const char* RootName(Root root) {
    switch (root) {
        case Root::ClassesRoot: return "HKCR";
        case Root::CurrentUser: return "HKCU";
        case Root::LocalMachine: return "HKLM";
    }
    return "?";
}

// The Registry table's numbers for the same roots.
int RootNumber(Root root) {
    switch (root) {
        case Root::ClassesRoot: return 0;
        case Root::CurrentUser: return 1;
        case Root::LocalMachine: return 2;
    }
    return -1;
}

const char* ActionName(Action action) {
    switch (action) {
        case Action::DeleteTree: return "DeleteTree";
        case Action::CreateKey: return "CreateKey";
        case Action::SetString: return "SetString";
    }
    return "?";
}

std::string PlanField(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || c == '%') {
            constexpr char kDigits[] = "0123456789ABCDEF";
            out += '%';
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

int PrintPlan(const std::vector<std::string>& settings, const std::vector<std::string>& scripts) {
    std::vector<orvane::reg::Replacement> replacements = {{"APPID", orvane::kAppIdText}};
    for (const std::string& setting : settings) {
        const std::size_t equals = setting.find('=');
        if (equals == std::string::npos) {
            std::cerr << "orvane-wxs: NAME=VALUE expected, not " << setting << "\n";
            return 2;
        }
        replacements.push_back({setting.substr(0, equals), setting.substr(equals + 1)});
    }
    Plan plan;
    if (!MakePlan(scripts, replacements, plan)) return 1;
    for (const auto& [phase, steps] : {std::pair{"register", &plan.registers}, {"unregister", &plan.unregisters}}) {
        for (const Step& s : *steps) {
            std::cout << phase << '\t' << ActionName(s.action) << '\t' << RootName(s.root) << '\t' << PlanField(s.path)
                      << '\t' << PlanField(s.name) << '\t' << PlanField(s.data) << '\n';
        }
    }
    return 0;
}

// Registry keys, names and values are formatted text to Windows Installer: a bracket would start a
// property reference, so brackets are escaped and the references put in afterwards.
std::string Formatted(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '[') {
            out += "[\\[]";
        } else if (c == ']') {
            out += "[\\]]";
        } else {
            out += c;
        }
    }
    for (const auto& [mark, reference] : {std::pair{kModuleMark, std::string_view("[#OrvaneDll]")},
                                          {kFolderMark, std::string_view("[OrvaneFolder]")}}) {
        for (std::size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at)) {
            out.replace(at, mark.size(), reference);
        }
    }
    return out;
}

std::string Xml(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

// Row ids in plan order, so that the table sorted by them reads as the plan does.
std::string Id(const char* prefix, std::size_t number) {
    std::string digits = std::to_string(number);
    if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
    return prefix + digits;
}

bool SameKey(const Step& a, const Step& b) { return a.root == b.root && a.path == b.path; }

bool RemovedOnUnregister(const Plan& plan, const Step& key) {
    return std::ranges::any_of(
        plan.unregisters, [&key](const Step& step) { return step.action == Action::DeleteTree && SameKey(step, key); });
}

// Each step of the register plan becomes one row: a value is a Registry row with its text; a key is a
// Registry row of its own, "*" when unregistration removes it with everything below it (so does the
// uninstall) and "+" otherwise (created, and removed with its parent or never); a key deleted before
// it is written is a RemoveRegistry row, which deletes it at install. wixl can author the first two
// only as values named "*" and "+", which the WiX toolset's compiler refuses: with
// -dOrvaneWixToolset=1 the fragment says the same in that toolset's elements, and the third as well.
bool WriteFragment(const Plan& plan, const std::string& path) {
    std::ostringstream wixl;
    std::ostringstream toolset;
    std::size_t row = 0;
    std::size_t removal = 0;
    for (const Step& step : plan.registers) {
        const std::string common =
            std::string("Root=\"") + RootName(step.root) + "\" Key=\"" + Xml(Formatted(step.path)) + "\"";
        switch (step.action) {
            case Action::SetString: {
                if (step.data.empty()) {
                    // An empty Value is how the table says "a key, no value".
                    std::cerr << "orvane-wxs: " << step.path << " " << step.name
                              << ": the installer cannot write an empty text\n";
                    return false;
                }
                std::ostringstream line;
                line << R"(          <RegistryValue Id=")" << Id("OrvaneReg", ++row) << "\" " << common;
                if (!step.name.empty()) line << R"( Name=")" << Xml(Formatted(step.name)) << '"';
                line << R"( Type="string" Value=")" << Xml(Formatted(step.data)) << "\"/>\n";
                wixl << line.str();
                toolset << line.str();
                break;
            }
            case Action::CreateKey: {
                const bool tree = RemovedOnUnregister(plan, step);
                const std::string id = Id("OrvaneReg", ++row);
                wixl << "          <RegistryValue Id=\"" << id << "\" " << common << " Name=\"" << (tree ? "*" : "+")
                     << "\" Type=\"string\" Value=\"\"/>\n";
                toolset << "          <RegistryKey Id=\"" << id << "\" " << common << " ForceCreateOnInstall=\"yes\""
                        << (tree ? " ForceDeleteOnUninstall=\"yes\"" : "") << "/>\n";
                break;
            }
            case Action::DeleteTree:
                toolset << "          <RemoveRegistryKey Id=\"" << Id("OrvaneRemove", ++removal) << "\" " << common
                        << " Action=\"removeOnInstall\"/>\n";
                break;
        }
    }
    std::ofstream out(path, std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<!-- Orvane.dll and its registration, for a host's installer: include this fragment and\n"
           "     reference its ComponentGroup \"Orvane\" from a feature. It installs into\n"
           "     ProgramFilesFolder\\Orvane, takes Orvane.dll from the current folder (or the WiX\n"
           "     toolset's bind paths), and is made by the add-in's build from its registry scripts:\n"
           "     do not edit. -->\n"
           "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
           "  <Fragment>\n"
           "    <DirectoryRef Id=\"ProgramFilesFolder\">\n"
           "      <Directory Id=\"OrvaneFolder\" Name=\"Orvane\">\n"
           "        <Component Id=\"Orvane\" Guid=\""
        << kComponentGuid
        << "\" Win64=\"no\">\n"
           "          <File Id=\"OrvaneDll\" Name=\"Orvane.dll\" Source=\"Orvane.dll\" KeyPath=\"yes\"/>\n"
           "          <?ifdef var.OrvaneWixToolset?>\n"
        << toolset.str() << "          <?else?>\n"
        << wixl.str()
        << "          <?endif?>\n"
           "        </Component>\n"
           "      </Directory>\n"
           "    </DirectoryRef>\n"
           "    <ComponentGroup Id=\"Orvane\">\n"
           "      <ComponentRef Id=\"Orvane\"/>\n"
           "    </ComponentGroup>\n"
           "  </Fragment>\n"
           "</Wix>\n";
    return static_cast<bool>(out);
}

bool WriteRemoveTable(const Plan& plan, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "RemoveRegistry\tRoot\tKey\tName\tComponent_\r\n"
           "s72\ti2\tl255\tL255\ts72\r\n"
           "RemoveRegistry\tRemoveRegistry\r\n";
    std::size_t removal = 0;
    for (const Step& step : plan.registers) {
        if (step.action != Action::DeleteTree) continue;
        out << Id("OrvaneRemove", ++removal) << '\t' << RootNumber(step.root) << '\t' << Formatted(step.path)
            << "\t-\tOrvane\r\n";
    }
    return static_cast<bool>(out);
}

bool WriteProduct(const std::string& version, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<!-- The standalone package of the add-in: Orvane.dll for 32-bit hosts, for all users, in\n"
           "     Program Files (x86)\\Orvane on 64-bit Windows. Made by the add-in's build: do not edit. -->\n"
           "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
           "  <Product Id=\"*\" Name=\"Orvane\" Language=\"1033\" Version=\""
        << Xml(version) << R"(" Manufacturer="Orvane" UpgradeCode=")" << kUpgradeCode
        << "\">\n"
           "    <Package Description=\"Orvane.DLL, the game-client add-in of the download manager\"\n"
           "             Manufacturer=\"Orvane\" InstallerVersion=\"200\" Compressed=\"yes\" "
           "InstallScope=\"perMachine\"/>\n"
           "    <Media Id=\"1\" Cabinet=\"orvane.cab\" EmbedCab=\"yes\"/>\n"
           "    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">\n"
           "      <Directory Id=\"ProgramFilesFolder\"/>\n"
           "    </Directory>\n"
           "    <Feature Id=\"Orvane\" Title=\"Orvane\" Level=\"1\">\n"
           "      <ComponentGroupRef Id=\"Orvane\"/>\n"
           "    </Feature>\n"
           "  </Product>\n"
           "</Wix>\n";
    return static_cast<bool>(out);
}

int WriteInstaller(const std::vector<std::string>& outputs, const std::vector<std::string>& scripts) {
    if (outputs.size() != 4) {
        std::cerr << "orvane-wxs wxs: VERSION FRAGMENT PRODUCT REMOVE_IDT -- SCRIPT...\n";
        return 2;
    }
    Plan plan;
    const std::vector<orvane::reg::Replacement> replacements = {{"APPID", orvane::kAppIdText},
                                                                {"MODULE", std::string(kModuleMark)},
                                                                {"MODULEFOLDER", std::string(kFolderMark)}};
    if (!MakePlan(scripts, replacements, plan)) return 1;
    if (!WriteFragment(plan, outputs[1]) || !WriteProduct(outputs[0], outputs[2]) ||
        !WriteRemoveTable(plan, outputs[3])) {
        std::cerr << "orvane-wxs: cannot write the installer's sources\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> before;
    std::vector<std::string> scripts;
    bool split = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (!split && args[i] == "--") {
            split = true;
        } else {
            (split ? scripts : before).push_back(args[i]);
        }
    }
    if (args.empty() || !split || scripts.empty()) {
        std::cerr << "usage: orvane-wxs plan [NAME=VALUE]... -- SCRIPT...\n"
                     "       orvane-wxs wxs VERSION FRAGMENT PRODUCT REMOVE_IDT -- SCRIPT...\n";
        return 2;
    }
    if (args[0] == "plan") return PrintPlan(before, scripts);
    if (args[0] == "wxs") return WriteInstaller(before, scripts);
    std::cerr << "orvane-wxs: unknown command " << args[0] << "\n";
    return 2;
}
