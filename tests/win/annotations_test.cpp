// The shipped Lua annotations against the method table the add-in hands to the host: a script writer's
// editor must offer exactly the methods a script can call, in the table's order, and the file must be
// plain Lua 5.1 so that no tool chokes on it.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lua_fixture.hpp"
#include "script/script_object.hpp"

namespace orvane {
namespace {

using testing::LuaFixture;

struct AnnotatedMethod {
    std::string name;
    std::vector<std::string> parameters;           // as the function is declared
    std::vector<std::string> annotatedParameters;  // ---@param lines in front of it, in order
};

std::string ReadAnnotations() {
    std::ifstream file(ORVANE_ANNOTATIONS_FILE, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> SplitParameters(const std::string& list) {
    std::vector<std::string> names;
    static const std::regex name(R"([A-Za-z_][A-Za-z0-9_]*)");
    for (std::sregex_iterator it(list.begin(), list.end(), name), end; it != end; ++it) names.push_back(it->str());
    return names;
}

// The methods in the order the file declares them, as the language server reads them: a
// `function Class:Name(...)` line and the ---@param lines of the comment block above it.
std::vector<AnnotatedMethod> ParseAnnotations(const std::string& text) {
    static const std::regex function(R"(^function\s+Class:([A-Za-z_][A-Za-z0-9_]*)\s*\(([^)]*)\))");
    static const std::regex param(R"(^---@param\s+([A-Za-z_][A-Za-z0-9_]*)\s)");
    std::vector<AnnotatedMethod> methods;
    std::vector<std::string> pending;
    std::istringstream lines(text);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (std::regex_search(line, match, param)) {
            pending.push_back(match[1]);
        } else if (std::regex_search(line, match, function)) {
            methods.push_back({match[1], SplitParameters(match[2]), pending});
            pending.clear();
        } else if (line.rfind("---", 0) != 0) {
            pending.clear();  // a comment block ends at the first line that is not an annotation
        }
    }
    return methods;
}

TEST(Annotations, NameExactlyTheMethodTableInItsOrder) {
    const std::vector<AnnotatedMethod> annotated = ParseAnnotations(ReadAnnotations());
    std::vector<std::string> names;
    for (const AnnotatedMethod& method : annotated) names.push_back(method.name);
    std::vector<std::string> table;
    for (const VemoMethod* row = kMethodTable; row->name != nullptr; ++row) table.push_back(row->name);
    ASSERT_EQ(table.size(), 17u);
    EXPECT_EQ(names, table);
}

TEST(Annotations, AnnotateEveryParameterOfEveryMethodInDeclarationOrder) {
    const std::vector<AnnotatedMethod> annotated = ParseAnnotations(ReadAnnotations());
    ASSERT_FALSE(annotated.empty());
    for (const AnnotatedMethod& method : annotated) {
        EXPECT_EQ(method.annotatedParameters, method.parameters) << method.name;
    }
}

TEST(Annotations, LoadInLua51AndDefineTheAnnotatedMethodsAndNothingElse) {
    LuaFixture lua;
    lua_State* L = lua.state();
    ASSERT_EQ(luaL_loadfile(L, ORVANE_ANNOTATIONS_FILE), 0) << lua_tostring(L, -1);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), 0) << lua_tostring(L, -1);
    ASSERT_EQ(lua_type(L, -1), LUA_TTABLE) << "the file answers its class table";
    std::set<std::string> defined;
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
        EXPECT_EQ(lua_type(L, -1), LUA_TFUNCTION) << lua_tostring(L, -2);
        defined.insert(lua_tostring(L, -2));
        lua_pop(L, 1);
    }
    std::set<std::string> parsed;
    for (const AnnotatedMethod& method : ParseAnnotations(ReadAnnotations())) parsed.insert(method.name);
    EXPECT_EQ(defined, parsed) << "a method the parser missed or one defined outside the annotated form";
}

TEST(Annotations, LoadWithoutReplacingAnObjectTheHostAlreadyPublished) {
    LuaFixture lua;
    ASSERT_EQ(lua.Run("Orvane = { Object = 'published' }"), "");
    ASSERT_EQ(lua.Run(std::string("dofile([[") + ORVANE_ANNOTATIONS_FILE + "]])"), "");
    EXPECT_EQ(lua.Eval("Orvane.Object"), "published");
}

}  // namespace
}  // namespace orvane
