-- Every method of Orvane.Object called with every kind of wrong value at every position, and with
-- too few and too many values. The host survives all of it; every answer has its method's count and
-- types, and the method's failure values wherever the receiver or a function argument is wrong; a
-- callback that was taken comes back exactly once and no other does; no registry reference is left.
-- Runs against the loopback service peers, so that requests with odd values still get answers.
local T = require("testlib")
local O = Orvane.Object

local MiB = ("x"):rep(1024 * 1024)
local kinds = {
  { "nil", nil }, { "false", false }, { "true", true }, { "a table", {} }, { "a function", function() end },
  { "light user data", host.lightuserdata(4096) }, { "a number", 42 }, { "1 MiB of text", MiB },
  { "text with a zero byte", "a\0b" },
}
-- Kinds that have no text form: where a text is read they count as the empty text.
local textless = { ["nil"] = true, ["false"] = true, ["true"] = true, ["a table"] = true, ["a function"] = true,
  ["light user data"] = true }

-- Markers in the argument lists below.
local CALLBACK = {}  -- a fresh function whose calls are counted
local HANDLER = {}   -- a function the speed-limit slot keeps
local nowhere = "Z:\\orvane-nowhere\\none.exe"

local methods = {
  { "GetTipsId", { "p", "c", CALLBACK }, {}, {} },
  { "GetActiveGame", { "n", "t", CALLBACK }, {}, {} },
  { "IsOrvaneRun", {}, { "boolean" }, { false } },
  { "IsOrvaneSetup", {}, { "boolean" }, { false } },
  -- Nothing there to start, whatever the values: the answer is false.
  { "LaunchOrvaneSetup", { nowhere, "" }, { "boolean" }, { false }, always = false },
  { "LaunchOrvane", { "user", "key", "game", "tag" }, { "boolean" }, { false } },
  { "QueryOrvaneSetupStatus", {}, { "number", "number" }, { -1, nil } },
  { "GetDownloadPath", {}, { "string" }, { "" } },
  { "SetSpeedLimitHandler", { HANDLER }, { "boolean" }, { false } },
  { "ClearSpeedLimitHandler", {}, { "boolean" }, { false } },
  { "LimitModeManualChanged", {}, { "boolean" }, { false } },
  { "LogPrint", { "line" }, {}, {} },
  { "ExecuteExternal", { nowhere, "" }, { "boolean" }, { false }, always = false },
  -- Nothing listens on the discard port of loopback: a request there fails at once.
  { "SyncHttpRequest", { "http://127.0.0.1:9/", 2000 }, { "boolean" }, { false } },
  { "IsWindowForeground", { host.lightuserdata(4096) }, { "boolean" }, { false } },
  { "RecordTipsShow", { "tip", "p", "c", "sign" }, {}, {} },
  { "RemoveLog", {}, {}, {} },
}

local expected, unexpected = {}, {}  -- counted callbacks that must come back once / never

-- Builds the values of one call: the receiver, then the arguments, one position replaced.
local function values(method, receiver, position, value)
  local list = { n = #method[2] + 1, receiver }
  local taken = {}
  for i, arg in ipairs(method[2]) do
    local v = arg
    if i == position then
      v = value
    elseif arg == CALLBACK then
      local record = { calls = 0 }
      v = function() record.calls = record.calls + 1 end
      taken[#taken + 1] = record
    elseif arg == HANDLER then
      v = function() return 0, 0 end
    end
    list[i + 1] = v
  end
  return list, taken
end

local function describe(method, what)
  return method[1] .. " with " .. what
end

local function checkShape(answer, method, what)
  T.eq(answer.n, #method[3], describe(method, what) .. ": number of values")
  for i, kind in ipairs(method[3]) do
    T.eq(type(answer[i]), kind, describe(method, what) .. ": type of value " .. i)
  end
  if method.always ~= nil then T.eq(answer[1], method.always, describe(method, what)) end
end

local function checkFailure(answer, method, what)
  T.same(answer, T.list(unpack(method[4], 1, #method[3])), describe(method, what))
end

-- The causes a call writes before it returns; those of workers and exchanges come at times of their own.
local ownCauses = { no_receiver = true, callback_not_a_function = true, empty_url = true }
local function checkCause(method, what, cause)
  local all, own = T.causes(), { n = 0 }
  for i = 1, all.n do
    if ownCauses[all[i]:match(": (%S+)")] then
      own.n = own.n + 1
      own[own.n] = all[i]
    end
  end
  T.same(own, cause and T.list(method[1] .. ": " .. cause) or T.list(), describe(method, what) .. ": causes")
end

-- Calls one method with the values; `fails` says whether its failure values are due, and `cause`
-- names the cause it writes for them (no_receiver unless given).
local function try(method, list, taken, fails, what, cause)
  local ok, answer = pcall(function() return T.call(O[method[1]], unpack(list, 1, list.n)) end)
  T.truthy(ok, describe(method, what) .. " raised " .. tostring(answer))
  checkCause(method, what, fails and (cause or "no_receiver") or cause)
  if fails then
    checkFailure(answer, method, what)
    for _, record in ipairs(taken) do unexpected[#unexpected + 1] = { record, describe(method, what) } end
  else
    checkShape(answer, method, what)
    for _, record in ipairs(taken) do expected[#expected + 1] = { record, describe(method, what) } end
  end
  return answer
end

local before = T.live_refs()

T.case("a wrong receiver answers the failure values and takes nothing", function()
  for _, method in ipairs(methods) do
    for _, kind in ipairs(kinds) do
      local list, taken = values(method, kind[2])
      -- Any user data passes for the receiver: the object keeps no state of its own.
      try(method, list, taken, kind[1] ~= "light user data", "the receiver " .. kind[1])
    end
  end
end)

T.case("a wrong value at any argument position is read as the conventions say", function()
  for _, method in ipairs(methods) do
    for position, arg in ipairs(method[2]) do
      for _, kind in ipairs(kinds) do
        local isFunctionSlot = arg == CALLBACK or arg == HANDLER
        if not (isFunctionSlot and kind[1] == "a function") then
          local list, taken = values(method, O, position, kind[2])
          local what = kind[1] .. " at argument " .. position
          -- A URL with no text form is the empty URL, refused before any thread starts.
          local emptyUrl = method[1] == "SyncHttpRequest" and position == 1 and textless[kind[1]]
          local cause = isFunctionSlot and "callback_not_a_function" or emptyUrl and "empty_url" or nil
          local answer = try(method, list, taken, isFunctionSlot, what, cause)
          if emptyUrl then T.eq(answer[1], false, describe(method, what)) end
        end
      end
    end
  end
end)

T.case("too few values fail like a missing receiver, too many are read from the end", function()
  for _, method in ipairs(methods) do
    local n = #method[2]
    try(method, { n = 0 }, {}, true, "no values at all")
    if n > 0 then
      local list, taken = values(method, O)
      list.n = n  -- the receiver and all arguments but the last
      if method[2][n] == CALLBACK then taken = {} end
      try(method, list, taken, true, "one value too few")
    end
    local list, taken = values(method, O)
    table.insert(list, 2, "extra")
    list.n = list.n + 1
    try(method, list, taken, true, "a value between the receiver and the arguments")
    list, taken = values(method, O)
    table.insert(list, 1, "extra")
    list.n = list.n + 1
    try(method, list, taken, false, "a value before the receiver")
  end
end)

T.case("every callback taken comes back exactly once, no other ever, and no reference is left", function()
  local function allBack()
    for _, e in ipairs(expected) do
      if e[1].calls == 0 then return false end
    end
    return true
  end
  -- A request whose datagram cannot be sent waits out its ten seconds for a reply.
  T.truthy(T.wait_for(allBack, 15000), #expected .. " callbacks came back")
  host.pump(500)
  for _, e in ipairs(expected) do T.eq(e[1].calls, 1, "callback calls of " .. e[2]) end
  for _, e in ipairs(unexpected) do T.eq(e[1].calls, 0, "callback calls of " .. e[2]) end
  T.same(T.call(O.ClearSpeedLimitHandler, O), T.list(true))
  T.eq(T.live_refs(), before, "live registry references")
  T.truthy(#expected > 0 and #unexpected > 0, "both kinds of calls were made")
end)

T.finish()
