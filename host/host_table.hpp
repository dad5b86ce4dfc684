// The global table `host` that scripts drive the stand-in with, and the checking mode, which wraps the
// add-in's methods in a check against the annotations. orvane_host.cpp documents both.
#pragma once

#include <string>

struct lua_State;

namespace orvane::host {

void installHostTable(lua_State* L);
// The annotations the checking mode uses when it is not told; empty when there are none.
std::wstring findAnnotations();
void installChecks(lua_State* L, const std::wstring& annotations);

}  // namespace orvane::host
