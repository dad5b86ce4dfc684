// Feeds arbitrary text to the registry-script parser. Besides what the sanitizers catch, a parsed
// script must plan only steps below a root, never remove a kept key, and create every key it names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "addin/registry_script.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvane::reg;
    const Replacement replacements[] = {{"APPID", "{id}"}, {"MODULE", "C:\\it's 100% = {x}\\m.dll"}};
    const ParseResult parsed = ParseScript(std::string_view(reinterpret_cast<const char*>(data), size), replacements);
    if (parsed.error) {
        if (!parsed.script.keys.empty() || parsed.error->message.empty()) std::abort();
        return 0;
    }
    std::size_t created = 0;
    for (const Step& step : PlanRegister(parsed.script)) {
        if (step.path.empty()) std::abort();
        if (step.action == Action::CreateKey) ++created;
    }
    std::size_t roots = 0;
    for (const Key& key : parsed.script.keys) {
        if (key.path.empty()) ++roots;
        if (key.parent && *key.parent >= parsed.script.keys.size()) std::abort();
    }
    if (created != parsed.script.keys.size() - roots) std::abort();
    for (const Step& step : PlanUnregister(parsed.script)) {
        if (step.action != Action::DeleteTree || step.path.empty()) std::abort();
        for (const Key& key : parsed.script.keys) {
            if (key.path == step.path && key.root == step.root && key.rule == KeyRule::Keep) std::abort();
        }
    }
    return 0;
}
