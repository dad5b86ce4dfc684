-- The host frees the add-in while a SyncHttpRequest worker still waits for its server. The worker
-- completes its request, the started add-in stays mapped, and the process carries on and exits cleanly.
local T = require("testlib")
local M = require("machine")
local O = Orvane.Object

local function logged(line)
  local text = M.read(M.args.log) or ""
  return ("\n" .. text):find("\n" .. line .. "\n", 1, true) ~= nil
end

T.case("freeing the add-in during a slow request leaves the request and the module in place", function()
  local url = "http://127.0.0.1:" .. M.args.port .. "/delay/1500/unload"
  T.eq(O:SyncHttpRequest(url, 100), false, "answer")
  T.same(T.causes(), T.list("SyncHttpRequest: limit_passed"), "causes")
  T.eq(host.free_addin(), true, "FreeLibrary of the add-in")
  T.truthy(T.wait_for(function() return logged("closed /delay/1500/unload") end, 10000),
    "the worker completed its request after the host let go")
  host.pump(300)
  T.eq(host.addin_loaded(), true, "the module stays")
  T.eq(O:SyncHttpRequest("http://127.0.0.1:" .. M.args.port .. "/now/after", 5000), true, "a request made afterwards")
  T.same(T.causes(), T.list(), "causes once both requests ended well")
end)

T.finish()
