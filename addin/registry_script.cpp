#include "addin/registry_script.hpp"

#include <utility>

namespace orvane::reg {
namespace {

struct RootName {
    std::string_view name;
    Root root;
};
constexpr RootName kRoots[] = {
    {"HKCR", Root::ClassesRoot},
    {"HKCU", Root::CurrentUser},
    {"HKLM", Root::LocalMachine},
};

// A word of a line: its text with replacements done, and whether it was quoted (a quoted word is
// never a keyword, so a key may be called 'value' or 'keep').
struct Word {
    std::string text;
    bool quoted = false;
    bool IsKeyword(std::string_view keyword) const { return !quoted && text == keyword; }
};

class LineReader {
public:
    LineReader(std::string_view line, std::span<const Replacement> replacements)
        : line_(line), replacements_(replacements) {}

    bool AtEnd() {
        SkipBlanks();
        return pos_ == line_.size() || line_[pos_] == '#';
    }

    bool TakeEquals() {
        SkipBlanks();
        if (pos_ < line_.size() && line_[pos_] == '=') {
            ++pos_;
            return true;
        }
        return false;
    }

    // Reads a bare or quoted word; false with error() set when there is none or it is malformed.
    bool TakeWord(Word& word) {
        SkipBlanks();
        word = Word{};
        if (pos_ == line_.size() || line_[pos_] == '#' || line_[pos_] == '=') return Fail("a name or text is missing");
        std::string raw;
        if (line_[pos_] == '\'') {
            word.quoted = true;
            ++pos_;
            for (;;) {
                if (pos_ == line_.size()) return Fail("a quoted text is not closed");
                const char c = line_[pos_++];
                if (c != '\'') {
                    raw += c;
                } else if (pos_ < line_.size() && line_[pos_] == '\'') {
                    raw += '\'';
                    ++pos_;
                } else {
                    break;
                }
            }
        } else {
            while (pos_ < line_.size() && !IsBlank(line_[pos_]) && line_[pos_] != '=' && line_[pos_] != '\'' &&
                   line_[pos_] != '#') {
                raw += line_[pos_++];
            }
        }
        return Substitute(raw, word.text);
    }

    const std::string& error() const { return error_; }

private:
    static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

    void SkipBlanks() {
        while (pos_ < line_.size() && IsBlank(line_[pos_])) ++pos_;
    }

    bool Fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    bool Substitute(std::string_view raw, std::string& out) {
        out.clear();
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '%') {
                out += raw[i];
                continue;
            }
            const std::size_t end = raw.find('%', i + 1);
            if (end == std::string_view::npos) return Fail("a replacement is not closed with %");
            const std::string_view name = raw.substr(i + 1, end - i - 1);
            if (name.empty()) {
                out += '%';
            } else {
                const std::string* value = Find(name);
                if (value == nullptr) return Fail("unknown replacement %" + std::string(name) + "%");
                out += *value;
            }
            i = end;
        }
        return true;
    }

    // The last one of a name wins.
    const std::string* Find(std::string_view name) const {
        const std::string* found = nullptr;
        for (const Replacement& r : replacements_) {
            if (r.name == name) found = &r.value;
        }
        return found;
    }

    std::string_view line_;
    std::span<const Replacement> replacements_;
    std::size_t pos_ = 0;
    std::string error_;
};

struct Open {
    std::size_t indent;
    std::optional<std::size_t> key;  // nullopt: a value line, which cannot enclose anything
};

// Key names compare without regard to ASCII case, as the registry compares them.
bool SameKeyName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool IsRemovedWithAncestor(const Script& script, const Key& key) {
    for (auto p = key.parent; p; p = script.keys[*p].parent) {
        const Key& ancestor = script.keys[*p];
        if (!ancestor.path.empty() && ancestor.rule != KeyRule::Keep) return true;
    }
    return false;
}

}  // namespace

ParseResult ParseScript(std::string_view text, std::span<const Replacement> replacements) {
    ParseResult result;
    auto fail = [&result](int line, std::string message) {
        result.script = {};
        result.error = ParseError{line, std::move(message)};
        return result;
    };
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

    std::vector<Open> open;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);

        std::size_t indent = 0;
        while (indent < line.size() && line[indent] == ' ') ++indent;
        if (indent < line.size() && line[indent] == '\t') return fail(lineNumber, "indent with spaces, not tabs");
        LineReader reader(line, replacements);
        if (reader.AtEnd()) continue;

        while (!open.empty() && open.back().indent >= indent) open.pop_back();
        if (!open.empty() && !open.back().key) return fail(lineNumber, "a value cannot enclose anything");

        Word word;
        if (!reader.TakeWord(word)) return fail(lineNumber, reader.error());

        if (open.empty()) {
            if (indent != 0 || word.quoted) return fail(lineNumber, "a root (HKCR, HKCU, HKLM) is expected here");
            std::optional<Root> root;
            for (const RootName& r : kRoots) {
                if (word.text == r.name) root = r.root;
            }
            if (!root) return fail(lineNumber, "unknown root " + word.text);
            if (!reader.AtEnd()) return fail(lineNumber, "a root carries nothing else");
            result.script.keys.push_back(Key{*root, {}, KeyRule::Keep, {}, std::nullopt});
            open.push_back(Open{indent, result.script.keys.size() - 1});
            continue;
        }

        const std::size_t parentIndex = *open.back().key;
        if (word.IsKeyword("value")) {
            Word name;
            Word data;
            if (!reader.TakeWord(name)) return fail(lineNumber, reader.error());
            if (name.text.empty())
                return fail(lineNumber, "a named value needs a name; give a default value on its key");
            if (!reader.TakeEquals()) return fail(lineNumber, "'=' expected after the value's name");
            if (!reader.TakeWord(data)) return fail(lineNumber, reader.error());
            if (!reader.AtEnd()) return fail(lineNumber, "unexpected text after the value");
            Key& parent = result.script.keys[parentIndex];
            if (parent.path.empty()) return fail(lineNumber, "a root cannot hold values");
            if (parent.rule == KeyRule::Keep) return fail(lineNumber, "a kept key cannot hold values");
            parent.values.push_back(Value{std::move(name.text), std::move(data.text)});
            open.push_back(Open{indent, std::nullopt});
            continue;
        }

        KeyRule rule = KeyRule::RemoveOnUnregister;
        if (word.IsKeyword("keep") || word.IsKeyword("replace")) {
            rule = word.text == "keep" ? KeyRule::Keep : KeyRule::Replace;
            if (!reader.TakeWord(word)) return fail(lineNumber, reader.error());
        }
        if (word.text.empty() || word.text.find('\\') != std::string::npos) {
            return fail(lineNumber, "a key name is one non-empty path element");
        }
        Key key{result.script.keys[parentIndex].root, {}, rule, {}, parentIndex};
        const std::string& parentPath = result.script.keys[parentIndex].path;
        key.path = parentPath.empty() ? word.text : parentPath + '\\' + word.text;
        if (reader.TakeEquals()) {
            Word data;
            if (!reader.TakeWord(data)) return fail(lineNumber, reader.error());
            if (rule == KeyRule::Keep) return fail(lineNumber, "a kept key cannot hold values");
            key.values.push_back(Value{{}, std::move(data.text)});
        }
        if (!reader.AtEnd()) return fail(lineNumber, "unexpected text after the key");
        // Named twice, a key could be kept by one line and removed by the other.
        for (const Key& earlier : result.script.keys) {
            if (earlier.root == key.root && SameKeyName(earlier.path, key.path)) {
                return fail(lineNumber, "a key is named twice");
            }
        }
        result.script.keys.push_back(std::move(key));
        open.push_back(Open{indent, result.script.keys.size() - 1});
    }
    if (result.script.keys.empty()) return fail(lineNumber, "the script names no keys");
    return result;
}

std::vector<Step> PlanRegister(const Script& script) {
    std::vector<Step> steps;
    for (const Key& key : script.keys) {
        if (key.path.empty()) continue;
        if (key.rule == KeyRule::Replace) steps.push_back(Step{Action::DeleteTree, key.root, key.path, {}, {}});
        steps.push_back(Step{Action::CreateKey, key.root, key.path, {}, {}});
        for (const Value& value : key.values) {
            steps.push_back(Step{Action::SetString, key.root, key.path, value.name, value.data});
        }
    }
    return steps;
}

std::vector<Step> PlanUnregister(const Script& script) {
    std::vector<Step> steps;
    for (const Key& key : script.keys) {
        if (key.path.empty() || key.rule == KeyRule::Keep || IsRemovedWithAncestor(script, key)) continue;
        steps.push_back(Step{Action::DeleteTree, key.root, key.path, {}, {}});
    }
    return steps;
}

}  // namespace orvane::reg
