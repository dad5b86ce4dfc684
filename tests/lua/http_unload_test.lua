-- The host frees the add-in while a SyncHttpRequest worker still waits for its server. The worker
-- keeps the module's code in place until it ends; then the module goes, and the process carries on
-- and exits cleanly.
local T = require("testlib")
local M = require("machine")
local O = Orvane.Object

local function logged(line)
  local text = M.read(M.args.log) or ""
  return ("\n" .. text):find("\n" .. line .. "\n", 1, true) ~= nil
end

T.case("freeing the add-in during a slow request unloads it only after the request ended", function()
  T.eq(O:SyncHttpRequest("http://127.0.0.1:" .. M.args.port .. "/delay/1500/unload", 100), false, "answer")
  T.eq(host.free_addin(), true, "FreeLibrary of the add-in")
  O = nil
  T.eq(host.addin_loaded(), true, "the running request keeps the module loaded")
  T.truthy(T.wait_for(function() return logged("closed /delay/1500/unload") end, 10000),
    "the worker completed its request after the host let go")
  T.truthy(T.wait_for(function() return not host.addin_loaded() end, 5000), "the module is gone once the worker ended")
  host.pump(300)
end)

T.finish()
