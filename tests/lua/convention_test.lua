-- How every method of Orvane.Object finds its receiver and arguments, and what a malformed call answers.
local T = require("testlib")
local O = Orvane and Orvane.Object

local methods = {
  "GetTipsId", "GetActiveGame", "IsOrvaneRun", "IsOrvaneSetup", "LaunchOrvaneSetup", "LaunchOrvane",
  "QueryOrvaneSetupStatus", "GetDownloadPath", "SetSpeedLimitHandler", "ClearSpeedLimitHandler",
  "LimitModeManualChanged", "LogPrint", "ExecuteExternal", "SyncHttpRequest", "IsWindowForeground",
  "RecordTipsShow", "RemoveLog",
}

-- Each method's argument count and the values it answers when its receiver is wrong.
local failure = {
  GetTipsId = { 3 }, GetActiveGame = { 3 }, IsOrvaneRun = { 0, false }, IsOrvaneSetup = { 0, false },
  LaunchOrvaneSetup = { 2, false }, LaunchOrvane = { 4, false }, QueryOrvaneSetupStatus = { 0, -1, nil },
  GetDownloadPath = { 0, "" }, SetSpeedLimitHandler = { 1, false }, ClearSpeedLimitHandler = { 0, false },
  LimitModeManualChanged = { 0, false }, LogPrint = { 1 }, ExecuteExternal = { 2, false },
  SyncHttpRequest = { 2, false }, IsWindowForeground = { 1, false }, RecordTipsShow = { 4 }, RemoveLog = { 0 },
}
local failureCount = {
  GetTipsId = 0, GetActiveGame = 0, IsOrvaneRun = 1, IsOrvaneSetup = 1, LaunchOrvaneSetup = 1, LaunchOrvane = 1,
  QueryOrvaneSetupStatus = 2, GetDownloadPath = 1, SetSpeedLimitHandler = 1, ClearSpeedLimitHandler = 1,
  LimitModeManualChanged = 1, LogPrint = 0, ExecuteExternal = 1, SyncHttpRequest = 1, IsWindowForeground = 1,
  RecordTipsShow = 0, RemoveLog = 0,
}

local function args(n, value)
  local list = {}
  for i = 1, n do list[i] = value end
  return unpack(list, 1, n)
end

T.case("the object is published as user data with exactly its seventeen methods", function()
  T.eq(type(O), "userdata", "type of Orvane.Object")
  for _, name in ipairs(methods) do T.eq(type(O[name]), "function", name) end
  T.eq(O.NotAMethod, nil, "a name outside the table")
  T.eq(O.getTipsId, nil, "names are case-sensitive")
end)

T.case("a call with exactly its arguments finds the receiver at position one", function()
  T.same(T.call(O.QueryOrvaneSetupStatus, O), T.list(0, 0))
  T.same(T.call(O.LogPrint, O, "line"), T.list())
  T.same(T.call(O.RemoveLog, O), T.list())
  T.same(T.causes(), T.list(), "causes of calls that fit")
end)

T.case("every method answers its failure values when the receiver is not user data", function()
  for _, name in ipairs(methods) do
    local shape = failure[name]
    for _, receiver in ipairs({ "text", 42, true, {} }) do
      local answer = T.call(O[name], receiver, args(shape[1], "x"))
      T.eq(answer.n, failureCount[name], name .. " answer count")
      for i = 1, failureCount[name] do T.eq(answer[i], shape[i + 1], name .. " answer " .. i) end
      T.same(T.causes(), T.list(name .. ": no_receiver"), name .. " cause")
    end
  end
end)

T.case("a call with no values at all, or too few, fails without reading anything", function()
  T.same(T.call(O.IsOrvaneRun), T.list(false))
  T.same(T.call(O.QueryOrvaneSetupStatus), T.list(-1, nil))
  T.same(T.call(O.SyncHttpRequest, O), T.list(false))
  T.same(T.call(O.LaunchOrvane, O, "a", "b"), T.list(false))
  T.same(T.call(O.GetDownloadPath), T.list(""))
  T.same(T.call(O.GetTipsId, O, function() end), T.list())
  T.same(T.causes(), T.list("IsOrvaneRun: no_receiver", "QueryOrvaneSetupStatus: no_receiver",
    "SyncHttpRequest: no_receiver", "LaunchOrvane: no_receiver", "GetDownloadPath: no_receiver",
    "GetTipsId: no_receiver"), "causes")
end)

T.case("extra values are read from the end: the value before the last N is the receiver", function()
  T.same(T.call(O.QueryOrvaneSetupStatus, "junk", 1, O), T.list(0, 0))
  T.same(T.call(O.QueryOrvaneSetupStatus, O, "junk"), T.list(-1, nil))
  T.same(T.call(O.ClearSpeedLimitHandler, "junk", O), T.list(true))
  -- With three texts after the receiver, the first text stands where the receiver is read.
  T.same(T.call(O.ExecuteExternal, O, "a", "b", "c"), T.list(false))
  T.same(T.causes(), T.list("QueryOrvaneSetupStatus: no_receiver", "ExecuteExternal: no_receiver"), "causes")
end)

T.case("a callback that is not a function takes no registry reference", function()
  local before = T.live_refs()
  local bads = { "text", 42, true, {}, nil, n = 5 }
  for i = 1, bads.n do
    local bad = bads[i]
    T.same(T.call(O.GetTipsId, O, "p", "c", bad), T.list())
    T.same(T.call(O.GetActiveGame, O, "n", "t", bad), T.list())
    T.same(T.call(O.SetSpeedLimitHandler, O, bad), T.list(false))
    T.same(T.causes(), T.list("GetTipsId: callback_not_a_function", "GetActiveGame: callback_not_a_function",
      "SetSpeedLimitHandler: callback_not_a_function"), "causes")
  end
  T.eq(T.live_refs(), before, "live references")
end)

T.case("a stored handler holds one reference until it is cleared", function()
  local before = T.live_refs()
  T.same(T.call(O.SetSpeedLimitHandler, O, function() end), T.list(true))
  T.eq(T.live_refs(), before + 1, "references with a handler stored")
  T.same(T.call(O.SetSpeedLimitHandler, O, function() end), T.list(true))
  T.eq(T.live_refs(), before + 1, "a replaced handler's reference is released")
  T.same(T.call(O.ClearSpeedLimitHandler, O), T.list(true))
  T.same(T.call(O.ClearSpeedLimitHandler, O), T.list(true))
  T.eq(T.live_refs(), before, "references after clearing")
  T.same(T.causes(), T.list(), "causes of calls that worked")
end)

T.case("values with no text form where text is expected do not break any method", function()
  local before = T.live_refs()
  T.same(T.call(O.SyncHttpRequest, O, {}, {}), T.list(false))
  T.same(T.call(O.ExecuteExternal, O, nil, "x"), T.list(false))
  T.same(T.causes(), T.list("SyncHttpRequest: empty_url"), "causes")
  for _, name in ipairs(methods) do
    local n = failure[name][1]
    local bads = { nil, false, {}, 1.5, n = 4 }
    for i = 1, bads.n do
      local bad = bads[i]
      local ok, err = pcall(O[name], O, args(n, bad))
      T.truthy(ok, name .. " raised " .. tostring(err))
    end
  end
  T.eq(T.live_refs(), before, "live references")
end)

T.case("the runtime's environment reference was released exactly once", function()
  local gets, releases = host.env_stats()
  T.eq(gets, 1, "environment references taken")
  T.eq(releases, 1, "environment references released")
end)

T.finish()
