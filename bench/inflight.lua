-- Requests in flight at once, run in the stand-in host beside tests/peers/inflight_peers.py: half of them
-- GetTipsId to a tips peer that never answers (each ends at its 10 s receive limit), half
-- GetActiveGame to a game-platform peer that closes every connection after a while without a byte.
-- Prints one line: how many were started, how many called back once, lost or twice, the time to the
-- last answer, and the working set before, at its peak and after.
--   orvane-host.exe --addin Orvane.dll bench/inflight.lua N [LABEL]     (bench/inflight.sh runs it)
local O = Orvane.Object
local n = assert(tonumber(arg[1]), "the number of requests is the first argument")
local label = arg[2] or "this build"
local MiB = 1024 * 1024

local function wait(cond, ms)
  local deadline = host.clock() + ms
  while not cond() and host.clock() < deadline do host.pump(50) end
  return cond()
end

-- Everything that sets itself up on first use does so before the baseline is read.
local warm = false
O:GetActiveGame("warm", "up", function() warm = true end)
O:RecordTipsShow("t", "p", "c", "s")
wait(function() return warm end, 30000)
host.pump(500)
collectgarbage()
local base_ws = host.memory()
local base_lua = collectgarbage("count")
local base_handles = host.handles()

local calls, answered, twice, first_empty = {}, 0, 0, 0
local function callback(i)
  return function(text)
    calls[i] = (calls[i] or 0) + 1
    if calls[i] == 1 then answered = answered + 1 else twice = twice + 1 end
    if text == "" then first_empty = first_empty + 1 end
  end
end

local start = host.clock()
for i = 1, n do
  if i % 2 == 1 then
    O:GetTipsId("inflight" .. i, "c", callback(i))
  else
    O:GetActiveGame("inflight" .. i, "t", callback(i))
  end
  -- Serve the window now and then, as a host's loop would between script calls.
  if i % 500 == 0 then host.pump(0) end
end
local started = host.clock() - start
local last = start
wait(function()
  if answered >= n then return true end
  last = host.clock()
  return false
end, 60000)
last = (answered >= n and host.clock() or last) - start
host.pump(2000)  -- a second call of any callback would come now
collectgarbage()
collectgarbage()
host.pump(500)
local after_ws, peak_ws = host.memory()
local after_handles = host.handles()
io.write(string.format(
  "inflight %s: %d requests (%d GetTipsId, %d GetActiveGame) started in %.0f ms; %d called back once, %d lost, " ..
  "%d twice; last answer after %.1f s; working set %.1f MiB before, %.1f MiB at the peak, %.1f MiB after; " ..
  "Lua heap %.0f KiB before, %.0f KiB after; handles %+d\n", label, n, math.floor((n + 1) / 2), math.floor(n / 2),
  started, answered, n - answered, twice, last / 1000, base_ws / MiB, peak_ws / MiB, after_ws / MiB, base_lua,
  collectgarbage("count"), after_handles - base_handles))
host.exit(0)
