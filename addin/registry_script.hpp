// The registry scripts the module carries as REGISTRY resources, and what applying one means.
//
// Format (UTF-8 text, one entry per line, nesting by indentation with spaces):
//
//     # a comment
//     HKCR                                  a root: HKCR, HKCU or HKLM, not indented
//         keep CLSID                        a key that registration never removes
//             replace '{...}' = 'Text'      a key deleted with all its subkeys before it is written
//                 ProgID = 'Orvane.Addin.1' a key with its default value, removed with its parent
//                 value AppID = '%APPID%'   a named value of the enclosing key
//
// A key without a rule is removed, with everything below it, on unregistration. A kept key carries
// no values: it exists for others as well, so there is nothing of ours in it to take back.
// Names are bare words or quoted like data: single quotes, '' for a quote inside. %NAME% inside a
// name or data is a replacement, %% a percent sign. Replacements are substituted after the line is
// split into words, so a value such as a module path may contain quotes, percent signs or '='.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::reg {

enum class Root { ClassesRoot, CurrentUser, LocalMachine };

enum class KeyRule {
    RemoveOnUnregister,  // the default
    Keep,                // never removed
    Replace,             // deleted with all its subkeys before it is written; removed on unregistration
};

struct Replacement {
    std::string name;
    std::string value;
};

struct Value {
    std::string name;  // empty for the key's default value
    std::string data;
    bool operator==(const Value&) const = default;
};

struct Key {
    Root root;
    std::string path;  // below the root, '\'-separated; empty for the root itself
    KeyRule rule;
    std::vector<Value> values;
    std::optional<std::size_t> parent;  // index of the enclosing key in Script::keys
};

// Keys in the order they appear, every parent before its children.
struct Script {
    std::vector<Key> keys;
};

struct ParseError {
    int line;  // 1-based
    std::string message;
};

struct ParseResult {
    Script script;
    std::optional<ParseError> error;
};

// Every %NAME% must have a replacement; an unknown one is an error, not an empty text.
ParseResult ParseScript(std::string_view text, std::span<const Replacement> replacements);

enum class Action {
    DeleteTree,  // the key and everything below it; a key that is not there is no failure
    CreateKey,
    SetString,  // REG_SZ value `name` (empty: default value) of the key, created if need be
};

struct Step {
    Action action;
    Root root;
    std::string path;
    std::string name;
    std::string data;
    bool operator==(const Step&) const = default;
};

// The registry changes that register or unregister the script's keys, in the order to make them.
// Each step's failure ends the application; nothing done before it is undone.
std::vector<Step> PlanRegister(const Script& script);
std::vector<Step> PlanUnregister(const Script& script);

}  // namespace orvane::reg
