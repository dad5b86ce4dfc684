-- The stand-in host's `host` table against annotations/host.lua: a script writer's editor must offer
-- exactly the functions a script in this host can call, and loading the file must leave them alone.
-- arg[1] is the annotations file.
local T = require("testlib")
local path = assert(arg[1], "the annotations file is the first argument")
local text = assert(T.read(path), "cannot read " .. path)

T.case("annotations/host.lua declares exactly the functions of the host table", function()
  local annotated, real = {}, {}
  for name in text:gmatch("\nfunction Host%.([%a_][%w_]*)%(") do annotated[#annotated + 1] = name end
  for name, value in pairs(host) do
    if type(value) == "function" then real[#real + 1] = name end
  end
  table.sort(annotated)
  table.sort(real)
  T.eq(table.concat(annotated, " "), table.concat(real, " "), "functions")
end)

T.case("loading the annotations in Lua 5.1 replaces nothing of the host's", function()
  local table_before, functions_before = host, {}
  for name, value in pairs(host) do functions_before[name] = value end
  local ran, answer = pcall(dofile, path)
  T.truthy(ran, "the file loads and runs (" .. tostring(answer) .. ")")
  T.eq(type(answer), "table", "the file answers its class table")
  T.eq(host, table_before, "the host table")
  for name, value in pairs(functions_before) do T.eq(host[name], value, "host." .. name) end
end)

T.finish()
