-- Every failure path in turn. With the add-in built with its fault points, for each kind of call that
-- can fail (common/fault_points.hpp) and for n = 1, 2, 3, ..., the nth such call from the start of a
-- round fails, while the round works the add-in as a host does: a (re)start, a tips request, a short
-- and a 16 MiB game-platform answer, an HTTP request, a speed-limit handler called by the tray's
-- reply, and WM_CLOSE. A kind is done at the first round that passes no fault of it.
--
-- After every round: the host lives; every request whose call took its callback was called back
-- exactly once, an empty answer with its cause written; a call that took none wrote why; and the
-- registry references, the handles and (within what allocators hold back) the private bytes are back
-- where they were.
--
-- Threads, events and the port are made once, at Startup or at the first request, and a service's
-- address is looked up once for minutes: their points come only in a host of their own, so those
-- kinds run again in a new host for each n, armed before Startup (--arm-fault), for one round.
--
-- Arguments (key=value): port (the HTTP peer's), host (this host's program); start=KIND:N in such a
-- new host.
local T = require("testlib")
local M = require("machine")
local O = Orvane.Object

local KINDS = { "allocation", "answer_buffer", "socket", "bind", "port_association", "connect_ex", "receive",
  "send", "post_message", "thread", "event", "lookup_worker", "registry_ref" }
local MOST_POINTS = 2000  -- a kind with more is reported, not run to its end
local url = "http://127.0.0.1:" .. assert(M.args.port, "port=N") .. "/now"
local WHOLE = 16 * 1024 * 1024 - 13

local function handler(code) return code, 7 end

-- One round; what it saw, for the checks.
local function round()
  local requests, lines = {}, {}
  local function note(cause_lines) for _, line in ipairs(cause_lines) do lines[#lines + 1] = line end end
  local function ask(key, method, ...)
    local request = { key = key, method = method, calls = 0 }
    T.causes()
    local args = T.list(...)
    args[args.n + 1] = function(text)
      request.calls = request.calls + 1
      request.text = text
    end
    -- A registry reference may fail by raising Lua's memory error, as it does in a host out of memory.
    local ok = pcall(O[method], O, unpack(args, 1, args.n + 1))
    -- A call that kept no callback says why at once; one that did calls back.
    local now = T.causes(method)
    request.taken = ok and now.n == 0
    note(now)
    requests[#requests + 1] = request
  end
  host.startup()
  ask("tips", "GetTipsId", "@delay:0:tip", "c")
  ask("short", "GetActiveGame", "@answer", "")
  ask("long", "GetActiveGame", "@long", "")
  pcall(O.SyncHttpRequest, O, url, 10000)
  local handled = false
  if pcall(O.SetSpeedLimitHandler, O, function(code) handled = true return handler(code) end) then
    host.call_export("Test", true)
  end
  T.wait_for(function()
    for _, r in ipairs(requests) do
      if r.taken and r.calls == 0 then return false end
    end
    return true
  end, 30000)
  pcall(O.ClearSpeedLimitHandler, O)
  host.close_addin_windows()
  host.pump(50)
  note(T.causes())
  return requests, lines, handled
end

local function check(requests, lines, what)
  local written = {}
  for _, line in ipairs(lines) do written[line:match("^(.-):")] = true end
  for _, r in ipairs(requests) do
    if r.taken then
      T.eq(r.calls, 1, what .. ": calls of " .. r.key)
      if r.text == "" then T.truthy(written[r.method], what .. ": a cause for the empty answer of " .. r.key) end
    else
      T.eq(r.calls, 0, what .. ": calls of " .. r.key .. ", whose call kept no callback")
    end
  end
end

-- A host armed before Startup: one round, checked, and how many points of its kind it reached.
if M.args.start then
  T.case("a round armed before Startup (" .. M.args.start .. ")", function()
    local requests, lines = round()
    check(requests, lines, M.args.start)
  end)
  io.write("reached ", host.faults_reached(), "\n")
  T.finish()
end

-- Before any fault: the threads and the port the add-in makes on first need are made, and every
-- answer is the one asked for.
local baseline = {}
T.case("a round without faults answers everything as asked", function()
  for _ = 1, 2 do
    local requests = round()
    for _, r in ipairs(requests) do T.truthy(r.taken and r.calls == 1, "calls of " .. r.key) end
    T.eq(requests[1].text, "tip", "the tips answer")
    T.eq(requests[2].text, "123", "the short game answer")
    T.eq(#requests[3].text, WHOLE, "the 16 MiB answer")
  end
  -- The system keeps a few handles for good from the first line a process writes for the debugger,
  -- and from the first C++ exception each of the add-in's threads throws: every allocation failing
  -- once, on whichever thread it comes, pays for them before the count.
  O.IsOrvaneRun()
  T.same(T.causes(), T.list("IsOrvaneRun: no_receiver"), "a line written")
  for n = 1, MOST_POINTS do
    host.arm_fault("allocation", n)
    round()
    local reached = host.faults_reached()
    host.arm_fault("allocation", 0)
    if reached < n then break end
  end
  round()
  collectgarbage()
  baseline.refs = T.live_refs()
  baseline.handles = host.handles()
  baseline.private = select(3, host.memory())
end)

local summary = {}
local started = host.clock()
for _, kind in ipairs(KINDS) do
  T.case("every " .. kind .. " failure in turn", function()
    local n = 0
    while true do
      n = n + 1
      T.truthy(n <= MOST_POINTS, kind .. ": more than " .. MOST_POINTS .. " points")
      host.arm_fault(kind, n)
      local requests, lines = round()
      local reached = host.faults_reached()
      host.arm_fault(kind, 0)
      local what = kind .. " " .. n
      check(requests, lines, what)
      collectgarbage()
      -- What a fault left behind is released at the next entry from the script or the next turn of
      -- the loop: a round without faults takes both.
      if reached >= n then round() end
      collectgarbage()
      T.eq(T.live_refs(), baseline.refs, what .. ": registry references")
      T.truthy(T.wait_for(function() return host.handles() == baseline.handles end, 10000),
        string.format("%s: handles: %d, %d before", what, host.handles(), baseline.handles))
      -- The host's debug allocator holds up to 64 MiB of freed blocks back, and the loop keeps one
      -- 16 MiB buffer warm for the next long answer, with its receive buffers; a leak adds up over the
      -- hundreds of rounds and passes that.
      local private = select(3, host.memory())
      T.truthy(private - baseline.private < 96 * 1024 * 1024,
        string.format("%s: private bytes grew by %.1f MiB", what, (private - baseline.private) / 1048576))
      if reached < n then break end
    end
    summary[#summary + 1] = string.format("%s %d", kind, n - 1)
  end)
end
-- The kinds whose points come once in a host's life, each point in a host of its own.
local START_KINDS = { "thread", "event", "lookup_worker", "allocation" }
local START_MOST = 12  -- at most: the first points of each, past Startup and into the first requests
for _, kind in ipairs(START_KINDS) do
  T.case("every " .. kind .. " failure of a new host in turn", function()
    local n = 0
    while n < START_MOST do
      n = n + 1
      local command = string.format('""%s" --addin "%s" --debug-alloc --arm-fault %s:%d "%s" port=%s start=%s:%d"',
        assert(M.args.host, "host=PATH"), host.addin_path(), kind, n, arg[0], M.args.port, kind, n)
      local pipe = T.popen(command)
      local output = pipe:read("*a") or ""
      pipe:close()
      T.truthy(output:find("1 passed, 0 failed", 1, true), kind .. " " .. n .. " at Startup: " .. output)
      local reached = tonumber(output:match("reached (%d+)")) or 0
      if reached < n then break end
    end
    summary[#summary + 1] = string.format("%s from Startup %d%s", kind, n - 1, n == START_MOST and "+" or "")
  end)
end

local seconds = (host.clock() - started) / 1000
io.write(string.format("points of each kind: %s; %.0f s\n", table.concat(summary, ", "), seconds))

T.finish()
