-- The stand-in host's checking mode against the calls of the convention test: every malformed call
-- gets a warning (one per call), no well-formed call gets any, and each call still answers what the
-- add-in answers. Runs with --check and the annotations of the source tree.
local T = require("testlib")
local O = Orvane.Object

T.case("the checking mode is on", function()
  T.eq(type(host.check_warnings()), "table", "host.check_warnings()")
end)

local function warnings_of(call)
  local before = #host.check_warnings()
  local ok, err = pcall(call)
  T.truthy(ok, "the call raised " .. tostring(err))
  return #host.check_warnings() - before
end

local cb = function() end
local handle = host.lightuserdata(4096)

-- Every method as the reference has it, with values of each accepted kind.
local well_formed = {
  function() O:GetTipsId("p", 7, cb) end, function() O:GetActiveGame(42, "t", cb) end,
  function() O:IsOrvaneRun() end, function() O:IsOrvaneSetup() end,
  function() O:LaunchOrvaneSetup("Z:\\orvane-nowhere\\setup.exe", "") end,
  function() O:LaunchOrvane("user", "key", 3, "tag") end, function() O:QueryOrvaneSetupStatus() end,
  function() O:GetDownloadPath() end, function() O:SetSpeedLimitHandler(cb) end,
  function() O:ClearSpeedLimitHandler() end, function() O:LimitModeManualChanged() end,
  function() O:LogPrint("line") end, function() O:ExecuteExternal("Z:\\orvane-nowhere\\none.exe", "") end,
  function() O:SyncHttpRequest("http://127.0.0.1:9/", 10) end, function() O:SyncHttpRequest("x", "500") end,
  function() O:IsWindowForeground(handle) end, function() O:RecordTipsShow("t", "p", "c", 1.5) end,
  function() O:RemoveLog() end,
}

-- The malformed calls of the convention test, and the commonest slips.
local malformed = {
  -- A receiver that is not the object.
  function() O.GetTipsId("text", "p", "c", cb) end, function() O.IsOrvaneRun(42) end,
  function() O.QueryOrvaneSetupStatus(true) end, function() O.RemoveLog({}) end,
  -- No values at all, or too few.
  function() O.IsOrvaneRun() end, function() O.QueryOrvaneSetupStatus() end, function() O.GetDownloadPath() end,
  function() O:SyncHttpRequest("http://127.0.0.1:9/") end, function() O:LaunchOrvane("a", "b") end,
  function() O:GetTipsId("p", cb) end, function() O:ExecuteExternal("Z:\\orvane-nowhere\\none.exe") end,
  function() O:LaunchOrvaneSetup("Z:\\orvane-nowhere\\setup.exe") end, function() O:IsWindowForeground() end,
  -- Extra values, read from the end.
  function() O.QueryOrvaneSetupStatus("junk", 1, O) end, function() O:QueryOrvaneSetupStatus("junk") end,
  function() O.ClearSpeedLimitHandler("junk", O) end, function() O:ExecuteExternal("a", "b", "c") end,
  -- A callback or handler that is not a function.
  function() O:GetTipsId("p", "c", "text") end, function() O:GetActiveGame("n", "t", 42) end,
  function() O:GetTipsId("p", "c", nil) end, function() O:SetSpeedLimitHandler(42) end,
  function() O:SetSpeedLimitHandler({}) end,
  -- Values with no text form where a text is expected, and other kinds out of place.
  function() O:LogPrint(nil) end, function() O:LogPrint(false) end, function() O:LaunchOrvane("a", {}, "c", "d") end,
  function() O:RecordTipsShow("t", "p", "c", true) end, function() O:SyncHttpRequest({}, 10) end,
  function() O:SyncHttpRequest("x", "soon") end, function() O:IsWindowForeground(1.5) end,
  function() O:IsWindowForeground("window") end,
}

T.case("no well-formed call is warned about", function()
  for i, call in ipairs(well_formed) do T.eq(warnings_of(call), 0, "warnings of well-formed call " .. i) end
end)

T.case("every malformed call is warned about once, with this file and line", function()
  for i, call in ipairs(malformed) do T.eq(warnings_of(call), 1, "warnings of malformed call " .. i) end
  local last = host.check_warnings()[#host.check_warnings()]
  T.truthy(last:find("check_test.lua:%d+: IsWindowForeground: window should be a window handle"),
    "where and what: " .. last)
end)

T.case("a checked call answers what the add-in answers", function()
  T.causes()
  T.same(T.call(O.QueryOrvaneSetupStatus, "junk", 1, O), T.list(0, 0))
  T.same(T.call(O.IsOrvaneRun), T.list(false))
  T.same(T.call(O.SetSpeedLimitHandler, O, 42), T.list(false))
  T.same(T.call(O.LogPrint, O, "line"), T.list())
  T.same(T.causes("QueryOrvaneSetupStatus", "IsOrvaneRun", "SetSpeedLimitHandler", "LogPrint"),
    T.list("IsOrvaneRun: no_receiver", "SetSpeedLimitHandler: callback_not_a_function"), "causes")
end)

T.finish()
