-- Name lookups that take their time, beside tests/peers/service_peers.py: tests/tools/slow_lookup.c,
-- preloaded into Wine, makes each lookup of the services' name wait as the file dir/delay says and
-- counts the lookups in dir/lookups. A slow lookup holds up only the requests that need it, once for
-- all of them, and never the script thread; its answer then serves for minutes when found (until its
-- service lets a request's time pass), for a second when not.
local T = require("testlib")
local O = Orvane.Object

local args = {}
for _, a in ipairs(arg) do
  local k, v = a:match("^([%w_]+)=(.*)$")
  if k then args[k] = v end
end
local dir = assert(args.dir, "dir=FOLDER of the slow resolver")

local function set_delay(text)
  local f = assert(io.open(dir .. "/delay", "wb"))
  f:write(text)
  f:close()
end

-- Lookups started and ended so far.
local function lookups()
  local started, ended = 0, 0
  for line in (T.read(dir .. "/lookups") or ""):gmatch("[^\n]+") do
    if line == "start" then started = started + 1 else ended = ended + 1 end
  end
  return started, ended
end

-- Lookups from now on take what text says, once no lookup runs and what the last one learned is stale.
local function lookups_from_now(text)
  set_delay(text)
  T.truthy(T.wait_for(function() local started, ended = lookups() return started == ended end, 20000),
    "no lookup running")
  host.pump(1100)
end

-- n GetActiveGame requests at once; each result notes its text and when it came.
local function games(n, tag)
  local start = host.clock()
  local got = { start = start }
  for i = 1, n do
    local r = {}
    got[i] = r
    O:GetActiveGame(tag .. i, "t", function(text)
      r.calls = (r.calls or 0) + 1
      r.text = text
      r.at = host.clock() - start
    end)
  end
  function got.done() for i = 1, n do if not got[i].calls then return false end end return true end
  function got.last() local last = 0 for i = 1, n do last = math.max(last, got[i].at) end return last end
  return got
end

-- Warmed up with a name not found, which is kept for a second only, like every failure: each case
-- below starts with a lookup of its own, and the one whose lookup succeeds comes last, since an
-- address found is kept for minutes.
set_delay("0 fail")
assert(io.open(dir .. "/lookups", "wb")):close()
local ready = false
O:GetTipsId("warm", "up", function() ready = true end)
T.truthy(T.wait_for(function() return ready end, 10000), "the warm-up request came back")

-- Five requests that share one lookup of 1.5 s are answered once it ends; one lookup after another
-- would take 7.5 s. The bound lies halfway, so that a slow machine's overhead is not taken for the
-- wrong behaviour.
local SHARED_MS = 4500

T.case("a failed lookup is remembered for a second too", function()
  lookups_from_now("1500 fail")
  T.causes()
  local before = lookups()
  local failed = games(5, "unknown")
  T.truthy(T.wait_for(failed.done, 15000), "all five answered")
  local again = games(5, "still-unknown")
  T.truthy(T.wait_for(again.done, 5000), "five more answered")
  for i = 1, 5 do
    T.eq(failed[i].text .. again[i].text, "", "answers of request " .. i .. " to a name that does not resolve")
  end
  T.eq(lookups() - before, 1, "lookups for ten requests")
  local causes = T.causes()
  T.eq(#causes, 10, "causes written")
  for i = 1, 10 do T.eq(causes[i], "GetActiveGame: lookup_failed", "cause " .. i) end
  T.truthy(failed.last() < SHARED_MS, string.format("the last of five failed after %.0f ms", failed.last()))
end)

T.case("a tips request ends within its ten seconds while its lookup hangs", function()
  lookups_from_now("14000 fail")
  T.causes()
  local text, took
  local start = host.clock()
  O:GetTipsId("hanging", "c", function(t) text, took = t, host.clock() - start end)
  T.truthy(T.wait_for(function() return text ~= nil end, 13000), "a callback within 13 s")
  local started, ended = lookups()
  io.write(string.format("tips request under a hanging lookup: answered after %.0f ms\n", took))
  T.eq(text, "", "the answer of a request whose address never came")
  T.caused({ "GetTipsId: timed_out" })
  T.truthy(took >= 9500 and took < 10000 + T.scaled(1500), string.format("answered after %.0f ms", took))
  T.eq(started - ended, 1, "lookups still running when it answered")
end)

T.case("one slow lookup serves every request for its name, and holds up nothing else", function()
  lookups_from_now("1500")
  local before = lookups()
  local burst = games(5, "slow")
  local called = host.clock()
  O:RecordTipsShow("tip", "@report-slow-" .. T.run_mark, "c", "s")
  local report_took = host.clock() - called
  T.truthy(T.wait_for(burst.done, 15000), "all five answered")
  local last = burst.last()
  -- While the address is fresh, the next requests go out at once.
  local again = games(5, "again")
  io.write(string.format("five requests, lookups of 1.5 s: last answer after %.0f ms; RecordTipsShow took %.0f ms\n",
    last, report_took))
  T.truthy(last < SHARED_MS, string.format("the last of five answered after %.0f ms", last))
  T.truthy(report_took < 500, string.format("RecordTipsShow waited %.0f ms for the resolver", report_took))
  T.truthy(T.wait_for(again.done, 5000), "five more answered")
  -- A second later, when a name not found would be looked up again, the address found still serves.
  host.pump(1100)
  local later = games(5, "later")
  T.truthy(T.wait_for(later.done, 5000), "five more answered a second later")
  for i = 1, 5 do
    T.truthy(burst[i].text ~= "" and again[i].text ~= "" and later[i].text ~= "", "answers of request " .. i)
  end
  T.eq(lookups() - before, 1, "lookups for fifteen requests and a report")
  local count
  O:GetTipsId("@count:@report-slow-" .. T.run_mark, "c", function(text) count = text end)
  T.truthy(T.wait_for(function() return count ~= nil end, 5000), "the count came")
  T.eq(count, "1", "reports that went out once the address was known")
end)

-- After the case whose lookup succeeds, as it needs the address found there still fresh.
T.case("an address whose service let a request's whole time pass is looked up again", function()
  set_delay("0")
  T.causes()
  local before = lookups()
  local silent
  O:GetTipsId("@silent", "c", function(t) silent = t end)
  T.truthy(T.wait_for(function() return silent ~= nil end, 13000), "the unanswered request came back")
  T.eq(silent, "", "the answer of a request the service never answered")
  T.caused({ "GetTipsId: timed_out" })
  T.eq(lookups() - before, 0, "lookups while the address was fresh")
  local after
  O:GetTipsId("after-silence", "c", function(t) after = t end)
  T.truthy(T.wait_for(function() return after ~= nil end, 5000), "the next request came back")
  T.truthy(after ~= "", "the next request was answered")
  T.eq(lookups() - before, 1, "lookups once the silence had made the address doubtful")
end)

T.finish()
