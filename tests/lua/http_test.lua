-- SyncHttpRequest against a loopback server the test controls: the answer says only whether the
-- request ended within the time limit; a request that outlives it still runs to its end.
-- Arguments: port=N (the server), log=PATH (what reached the server, see peers/http_peer.py).
local T = require("testlib")
local M = require("machine")
local O = Orvane.Object

local base = "http://127.0.0.1:" .. M.args.port

local function logged(line)
  local text = M.read(M.args.log) or ""
  for l in text:gmatch("[^\n]+") do
    if l == line then return true end
  end
  return false
end

local function logged_prefix(prefix)
  local text = M.read(M.args.log) or ""
  for l in text:gmatch("[^\n]+") do
    if l:sub(1, #prefix) == prefix then return true end
  end
  return false
end

local function timed(url, limit)
  local start = host.clock()
  local answer = T.call(O.SyncHttpRequest, O, url, limit)
  return answer, host.clock() - start
end

T.case("a server that answers within the limit gives true once the request has ended", function()
  local answer = timed(base .. "/now/in-time", 10000)
  T.same(answer, T.list(true), "answer")
  T.truthy(logged("answered /now/in-time"), "the server answered before the call returned")
  T.truthy(T.wait_for(function() return logged("closed /now/in-time") end, 5000), "the client released the connection")
  T.same(T.causes(), T.list(), "causes")
end)

T.case("a slower server gives false at the limit while the request completes in the background", function()
  local answer, elapsed = timed(base .. "/delay/2000/background", 300)
  T.same(answer, T.list(false), "answer")
  T.truthy(elapsed >= 280 and elapsed < 1800, "returned at the limit, after " .. elapsed .. " ms")
  T.truthy(logged("request /delay/2000/background"), "the request reached the server")
  T.eq(logged("answered /delay/2000/background"), false, "the server had not answered yet")
  T.same(T.causes(), T.list("SyncHttpRequest: limit_passed"), "causes")
  T.truthy(T.wait_for(function() return logged("closed /delay/2000/background") end, 10000),
    "the worker read the late answer and closed the connection")
  T.same(T.causes(), T.list(), "causes once the late request ended well")
end)

T.case("a server that never answers gives false at the limit", function()
  local answer, elapsed = timed(base .. "/never/limit", 400)
  T.same(answer, T.list(false), "answer")
  T.truthy(elapsed >= 380 and elapsed < T.scaled(5000), "returned at the limit, after " .. elapsed .. " ms")
  T.same(T.causes(), T.list("SyncHttpRequest: limit_passed"), "causes")
end)

T.case("limit 0 only looks, limit -1 waits as long as it takes", function()
  local answer, elapsed = timed(base .. "/delay/800/zero", 0)
  T.same(answer, T.list(false), "limit 0")
  T.truthy(elapsed < 700, "limit 0 did not wait for the server (" .. elapsed .. " ms)")
  answer, elapsed = timed(base .. "/delay/700/unlimited", -1)
  T.same(answer, T.list(true), "limit -1")
  T.truthy(elapsed >= 650, "limit -1 waited for the server (" .. elapsed .. " ms)")
  answer = timed(base .. "/now/text-limit", "10000")
  T.same(answer, T.list(true), "a limit given as text")
  T.same(T.causes(), T.list("SyncHttpRequest: limit_passed"), "causes: limit 0's alone")
end)

T.case("a URL without text gives false at once", function()
  for _, url in ipairs({ "", "\0http://127.0.0.1/", {} }) do
    -- An unlimited wait would hang on any thread it started; there must be none.
    local answer, elapsed = timed(url, -1)
    T.same(answer, T.list(false), "answer for " .. type(url))
    T.truthy(elapsed < T.scaled(1000), "at once")
  end
  T.same(T.call(O.SyncHttpRequest, O, nil, 1000), T.list(false), "nil URL")
  local empty = "SyncHttpRequest: empty_url"
  T.same(T.causes(), T.list(empty, empty, empty, empty), "causes")
end)

T.case("a host name that cannot be resolved fails fast, which counts as ended in time", function()
  -- A label longer than 63 characters is refused by the resolver itself: nothing leaves the machine.
  local answer, elapsed = timed("http://" .. string.rep("a", 70) .. ".invalid/", 10000)
  T.same(answer, T.list(true), "answer")
  T.truthy(elapsed < 10000, "within the limit")
  -- The worker writes why the request failed, though the call answers that it ended in time.
  T.same(T.causes(), T.list("SyncHttpRequest: open_url_failed (12007)"), "causes")
end)

T.case("a blank before the query is sent escaped", function()
  T.same(timed(base .. "/now/a b?q=1", 10000), T.list(true), "answer")
  T.truthy(logged_prefix("request /now/a%20b?"), "the path arrived as /now/a%20b")
  T.same(T.causes(), T.list(), "causes")
end)

-- Last: the requests it leaves running hold 127.0.0.1's share until the server lets them go.
T.case("of requests that outlive their limit, four per host run on; others are not held up", function()
  local function reached()
    local text, n = M.read(M.args.log) or "", 0
    for _ in text:gmatch("request /never/late") do n = n + 1 end
    return n
  end
  local started = host.clock()
  for i = 1, 200 do T.same(timed(base .. "/never/late" .. i, 100), T.list(false), "answer " .. i) end
  T.truthy(host.clock() - started < 5000, "the calls after the fourth answered at once")
  host.pump(1000)
  -- Fewer when a request of an earlier case is still running late.
  T.truthy(reached() >= 1 and reached() <= 4, "requests that reached the server: " .. reached())
  -- The ones that started passed their limits; every later one was refused for the host's share.
  local causes, late = T.causes(), 0
  T.eq(causes.n, 200, "causes")
  while late < causes.n and causes[late + 1] == "SyncHttpRequest: limit_passed" do late = late + 1 end
  T.truthy(late >= 1 and late <= 4, "requests that passed their limits: " .. late)
  for i = late + 1, causes.n do T.eq(causes[i], "SyncHttpRequest: too_many_late", "cause " .. i) end
  local other = "http://localhost:" .. M.args.port .. "/now/other-host"
  T.same(timed(other, 10000), T.list(true), "a request to another host name")
  T.same(T.causes(), T.list(), "causes of the request to another host name")
end)

T.finish()
