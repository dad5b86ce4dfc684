-- Errors that Lua raises while the add-in works outside any script call. A collection step may run
-- finalizers, and a finalizer (__gc) may raise; the add-in's own pushes on its thread, and the
-- runtime's preparation of a call, take such steps. What is raised there must be reported as the
-- runtime reports a callback's error, and must not reach Lua's panic function, which ends the host.
-- The collector is driven so that the next allocation takes a step that runs a finalizer, and the
-- finalizers raise only on the add-in's thread (the script's own calls run on the main thread). A
-- finalizer that raises leaves the collector resting until memory has doubled, so one raises.
-- The export Test finds the window by name, hence the shared prefix of such tests.
local T = require("testlib")
local O = Orvane.Object

-- The runtime's handler passes each error text through debug.traceback.
local reported = {}
local traceback = debug.traceback
-- luacheck: push ignore 122
debug.traceback = function(message, ...)
  reported[#reported + 1] = tostring(message)
  return traceback(message, ...)
end
-- luacheck: pop

local armed, consumed, raised = false, 0, 0
local function on_gc()
  if not armed then
    consumed = consumed + 1
  elseif coroutine.running() ~= nil and raised == 0 then
    raised = 1
    error("finalizer raised on purpose", 0)
  end
end

-- Leaves many finalizers due, the collector in its finishing phase running one finalizer per step,
-- and more allocated than its next step waits for, with no step taken since: so the next allocation
-- takes a step, wherever it comes. Nothing may allocate on the script's side between this and the
-- add-in's work.
local function finalizers_due()
  collectgarbage()
  for _ = 1, 200 do getmetatable(newproxy(true)).__gc = on_gc end
  collectgarbage("setstepmul", 1)
  armed, consumed = false, 0
  repeat collectgarbage("step", 0) until consumed > 0
  armed, raised, reported = true, 0, {}
  -- The collector last looked at the count before this string was made.
  return string.rep("b", 8192)
end

local function settle()
  armed = false
  collectgarbage("setstepmul", 200)
  collectgarbage()
end

local function reports_of_the_finalizer()
  local n = 0
  for _, message in ipairs(reported) do
    if message:find("finalizer raised on purpose", 1, true) then n = n + 1 end
  end
  return n
end

T.case("a finalizer that raises while an answer is handed over is reported; the callback still comes once", function()
  local refs = T.live_refs()
  local calls, text = 0, nil
  T.causes()
  -- Nothing serves the game platform here: the request fails at once, and its answer waits for the
  -- script thread to serve its messages.
  O:GetActiveGame("n", "t", function(answer)
    calls = calls + 1
    text = answer
    host.stop()
  end)
  finalizers_due()
  host.pump(10000)
  local raised_then, reports = raised, reports_of_the_finalizer()
  settle()
  T.eq(raised_then, 1, "finalizers raised on the add-in's thread")
  T.eq(reports, 1, "reports of the finalizer's error")
  host.pump(200)
  T.eq(calls, 1, "callback calls")
  T.eq(text, "", "its answer")
  T.same(T.causes("GetActiveGame"), T.list("GetActiveGame: connect_failed (1225)"),
    "its cause: 1225, the connection was refused")
  T.eq(T.live_refs(), refs, "registry references")
end)

T.case("a finalizer that raises while the speed-limit handler is called is reported; the handler still runs", function()
  local codes = {}
  T.eq(O:SetSpeedLimitHandler(function(code) codes[#codes + 1] = code return 5, 7 end), true, "handler stored")
  finalizers_due()
  T.eq(host.call_export("Test"), 0, "the export Test")
  local raised_then, reports = raised, reports_of_the_finalizer()
  settle()
  O:ClearSpeedLimitHandler()
  T.eq(raised_then, 1, "finalizers raised on the add-in's thread")
  T.eq(reports, 1, "reports of the finalizer's error")
  T.eq(table.concat(codes, ","), "2", "handler calls")
end)

T.case("later answers still come", function()
  local texts = {}
  for i = 1, 3 do O:GetActiveGame("n" .. i, "t", function(answer) texts[i] = answer end) end
  T.truthy(T.wait_for(function() return texts[1] and texts[2] and texts[3] end, 5000), "three callbacks came")
end)

T.finish()
