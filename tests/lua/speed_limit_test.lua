-- The speed-limit hand-shake across processes: orvane-tray-sim.exe plays the tray program (and the
-- setup program), this script plays the host's scripts. arg[1] is the simulator's path.
local T = require("testlib")
local S = require("traysim")
local O = Orvane.Object
local sim_exe = assert(arg[1], "the simulator's path is the first argument")

local TRAY_CLASS = "VemoOrvaneTrayNotifyWindow"
local TRAY_TITLE = "VemoOrvaneTrayNotifyWindow-9CCB8747-9EE7-4945-A656-FD1E6852B648"
local REPLY, MANUAL = 0x405, 0x406

-- Every handler call lands here, code by code.
local codes = {}
local function handler_returning(...)
  local results = T.list(...)
  return function(code)
    codes[#codes + 1] = code
    return unpack(results, 1, results.n)
  end
end

local function reset(handler)
  codes = {}
  O:ClearSpeedLimitHandler()
  if handler then T.eq(O:SetSpeedLimitHandler(handler), true, "SetSpeedLimitHandler") end
end

local function same_codes(expected)
  T.eq(table.concat(codes, ","), table.concat(expected, ","), "handler codes")
end

local function same_received(received, expected)
  T.eq(S.describe(received), S.describe(expected), "messages at the tray window")
end

-- A tray window that listens until stopped, for what the script does while it exists.
local function with_tray(options, body)
  local args = {}
  for _, option in ipairs(options) do args[#args + 1] = option end
  args[#args + 1] = "listen"
  args[#args + 1] = T.scaled(15000)
  local tray = S.start(sim_exe, args)
  tray:wait_for("ready")
  -- The window goes away before a failure is reported, so it cannot answer for the next case.
  local ok, err = pcall(body)
  tray:stop()
  local status, received = tray:finish()
  if not ok then error(err, 0) end
  return status, received
end

T.case("results of the handler reach the tray window as 0x405, each read as a 32-bit integer", function()
  local cases = {
    { T.list(5, 7), 5, 7 },
    { T.list(9), 9, 0 },
    { T.list(), 0, 0 },
    { T.list("12", "34"), 12, 34 },
    { T.list("abc", "7 apples"), 0, 0 },
    { T.list(1, 2, 3), 1, 2 },
    { T.list(-1, -1), 0xFFFFFFFF, -1 },
    { T.list(nil, 8), 0, 8 },
    { T.list({}, true), 0, 0 },
  }
  local calls = 0
  reset(function(code)
    codes[#codes + 1] = code
    calls = calls + 1
    local results = cases[(calls - 1) % #cases + 1][1]
    return unpack(results, 1, results.n)
  end)
  -- The limit requests are sent, the restore requests posted as the tray program does.
  local steps, expected, expected_codes = {}, {}, {}
  for _, request in ipairs({ { "send", 0x403, 1 }, { "post", 0x404, 0 } }) do
    for _, case in ipairs(cases) do
      steps[#steps + 1] = request[1]
      steps[#steps + 1] = request[2]
      expected[#expected + 1] = { REPLY, case[2], case[3] }
      expected_codes[#expected_codes + 1] = request[3]
    end
  end
  steps[#steps + 1] = "expect"
  steps[#steps + 1] = #expected
  local status, received = S.run(sim_exe, steps)
  T.eq(status, 0, "simulator status")
  same_received(received, expected)
  same_codes(expected_codes)
  T.same(T.causes(), T.list(), "causes")
end)

T.case("0x405 and 0x406 call the handler with 2 and 3 and post nothing", function()
  reset(handler_returning(5, 7))
  -- Sends return after the add-in handled them, so any answer would already be queued at the tray.
  local status, received = S.run(sim_exe, { "send", 0x405, "send", 0x406, "post", 0x406, "listen", 300 })
  T.eq(status, 0, "simulator status")
  same_received(received, {})
  same_codes({ 2, 3, 3 })
  T.same(T.causes(), T.list(), "causes")
end)

T.case("with no handler stored 0x403 and 0x404 are answered (0, 0) and 0x405 and 0x406 ignored", function()
  reset(nil)
  local status, received = S.run(sim_exe, { "send", 0x405, "send", 0x406, "send", 0x403, "send", 0x404,
    "listen", 300 })
  T.eq(status, 0, "simulator status")
  same_received(received, { { REPLY, 0, 0 }, { REPLY, 0, 0 } })
  same_codes({})
  T.same(T.causes(), T.list("speed-limit request: no_handler", "restore request: no_handler"), "causes")
end)

T.case("the answer goes to the tray window only, not to whoever asked", function()
  reset(handler_returning(5, 7))
  local asker_status, asker_received
  local status, received = with_tray({}, function()
    asker_status, asker_received = S.run(sim_exe, { "--title", TRAY_TITLE .. "-asker", "send", 0x403,
      "listen", 300 })
  end)
  T.eq(asker_status, 0, "asker status")
  same_received(asker_received, {})
  T.eq(status, 0, "tray status")
  same_received(received, { { REPLY, 5, 7 } })
  same_codes({ 1 })
  T.same(T.causes(), T.list(), "causes")
end)

T.case("a missing tray window, or one with the wrong class or title, gets nothing, and the handler still runs",
  function()
    local impostors = {
      { "--no-window" },
      { "--title", TRAY_TITLE .. "-other" },
      { "--class", TRAY_CLASS .. "Other" },
      { "--title", "" },
    }
    local asked = -math.huge
    for _, options in ipairs(impostors) do
      local what = table.concat(options, " ")
      -- The lines of one operation and cause come at most once a second, whoever asks.
      host.pump(math.max(0, asked + 1100 - host.clock()))
      reset(handler_returning(5, 7))
      local manual
      local args = {}
      for _, option in ipairs(options) do args[#args + 1] = option end
      for _, step in ipairs({ "send", 0x403, "send", 0x404, "listen", T.scaled(15000) }) do args[#args + 1] = step end
      local sim = S.start(sim_exe, args)
      sim:wait_for("sent 0x404")
      manual = O:LimitModeManualChanged()
      sim:stop()
      local status, received = sim:finish()
      asked = host.clock()
      T.eq(status, 0, what .. ": simulator status")
      T.eq(manual, false, what .. ": LimitModeManualChanged")
      same_received(received, {})
      same_codes({ 1, 0 })
      T.same(T.causes(), T.list("speed-limit request: no_tray_window", "restore request: no_tray_window",
        "LimitModeManualChanged: no_tray_window"), what .. ": causes")
    end
  end)

T.case("LimitModeManualChanged posts 0x406 (0, 0) to the tray window, with or without a handler", function()
  local answers = {}
  reset(handler_returning(5, 7))
  local status, received = with_tray({}, function()
    answers[1] = O:LimitModeManualChanged()
    O:ClearSpeedLimitHandler()
    answers[2] = O:LimitModeManualChanged()
  end)
  T.eq(status, 0, "simulator status")
  T.same(T.list(answers[1], answers[2]), T.list(true, true), "answers")
  same_received(received, { { MANUAL, 0, 0 }, { MANUAL, 0, 0 } })
  same_codes({})
  T.same(T.causes(), T.list(), "causes")
  T.same(T.call(O.LimitModeManualChanged, O), T.list(false), "once the tray window is gone")
  T.same(T.causes(), T.list("LimitModeManualChanged: no_tray_window"), "causes once the tray window is gone")
end)

T.case("SetSpeedLimitHandler with a number answers false and the earlier handler keeps answering", function()
  reset(handler_returning(11, 22))
  T.same(T.call(O.SetSpeedLimitHandler, O, 42), T.list(false))
  local status, received = S.run(sim_exe, { "send", 0x403, "expect", 1 })
  T.eq(status, 0, "simulator status")
  same_received(received, { { REPLY, 11, 22 } })
  same_codes({ 1 })
  T.same(T.causes(), T.list("SetSpeedLimitHandler: callback_not_a_function"), "causes")
end)

T.case("a second handler replaces the first", function()
  reset(handler_returning(1, 1))
  local second = {}
  O:SetSpeedLimitHandler(function(code) second[#second + 1] = code return 2, 2 end)
  local status, received = S.run(sim_exe, { "send", 0x403, "send", 0x405, "expect", 1 })
  T.eq(status, 0, "simulator status")
  same_received(received, { { REPLY, 2, 2 } })
  same_codes({})
  T.eq(table.concat(second, ","), "1,2", "second handler's codes")
  T.same(T.causes(), T.list(), "causes")
end)

T.case("ClearSpeedLimitHandler twice answers true both times and leaves 0x403 answered (0, 0)", function()
  reset(handler_returning(5, 7))
  T.same(T.list(O:ClearSpeedLimitHandler(), O:ClearSpeedLimitHandler()), T.list(true, true))
  local status, received = S.run(sim_exe, { "send", 0x403, "expect", 1 })
  T.eq(status, 0, "simulator status")
  same_received(received, { { REPLY, 0, 0 } })
  same_codes({})
  T.same(T.causes(), T.list("speed-limit request: no_handler"), "causes")
end)

T.case("calls without the object as receiver change nothing and post nothing", function()
  reset(handler_returning(5, 7))
  local answers
  local status, received = with_tray({}, function()
    answers = T.list(O.SetSpeedLimitHandler({}, handler_returning(8, 8)), O.ClearSpeedLimitHandler("x"),
      O.LimitModeManualChanged(1))
  end)
  T.same(answers, T.list(false, false, false), "answers")
  T.eq(status, 0, "tray status")
  same_received(received, {})
  status, received = S.run(sim_exe, { "send", 0x403, "expect", 1 })
  T.eq(status, 0, "simulator status")
  same_received(received, { { REPLY, 5, 7 } })
  T.same(T.causes(), T.list("SetSpeedLimitHandler: no_receiver", "ClearSpeedLimitHandler: no_receiver",
    "LimitModeManualChanged: no_receiver"), "causes")
end)

T.case("a handler that raises is answered (0, 0) and stays stored", function()
  reset(function(code)
    codes[#codes + 1] = code
    error("raised on purpose")
  end)
  local status, received = S.run(sim_exe, { "send", 0x403, "send", 0x404, "send", 0x405, "send", 0x406,
    "expect", 2 })
  T.eq(status, 0, "simulator status")
  same_received(received, { { REPLY, 0, 0 }, { REPLY, 0, 0 } })
  same_codes({ 1, 0, 2, 3 })
  T.same(T.causes(), T.list("speed-limit request: handler_failed", "restore request: handler_failed",
    "reply notice: handler_failed", "manual notice: handler_failed"), "causes")
end)

T.case("the export Test calls the handler with 2 from this thread and from another, and posts nothing", function()
  reset(handler_returning(5, 7))
  local answers
  local status, received = with_tray({}, function()
    answers = T.list(host.call_export("Test"), host.call_export("Test", true))
  end)
  T.same(answers, T.list(0, 0), "answers of Test")
  same_codes({ 2, 2 })
  T.eq(status, 0, "tray status")
  same_received(received, {})
  reset(nil)
  T.same(T.list(host.call_export("Test")), T.list(0), "answer of Test without a handler")
  T.same(T.causes(), T.list(), "causes")
end)

T.case("a replaced or cleared handler is released, a stored one is kept", function()
  local weak = setmetatable({}, { __mode = "k" })
  -- Made in a call of its own, so no stack slot of this function keeps it alive.
  local function store_fresh_handler()
    local handler = function() return 1, 2 end
    weak[handler] = true
    O:SetSpeedLimitHandler(handler)
  end
  local function collected()
    collectgarbage("collect")
    collectgarbage("collect")
    return next(weak) == nil
  end
  local ways = {
    { "still stored", function() end, false },
    { "replaced", function() O:SetSpeedLimitHandler(function() end) end, true },
    { "cleared", function() O:ClearSpeedLimitHandler() end, true },
    { "not replaced by a number", function() O:SetSpeedLimitHandler(7) end, false },
  }
  for _, way in ipairs(ways) do
    reset(nil)
    store_fresh_handler()
    way[2]()
    T.eq(collected(), way[3], way[1] .. ": collected")
    for k in pairs(weak) do weak[k] = nil end
  end
  reset(nil)
  T.same(T.causes(), T.list("SetSpeedLimitHandler: callback_not_a_function"), "causes")
end)

T.case("the setup simulator's 0x702 reaches QueryOrvaneSetupStatus", function()
  local status = S.run(sim_exe, { "--no-window", "setup", 3, -7 })
  T.eq(status, 0, "simulator status")
  T.same(T.call(O.QueryOrvaneSetupStatus, O), T.list(3, -7))
end)

T.finish()
