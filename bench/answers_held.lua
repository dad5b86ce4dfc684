-- Answers that come while the script is busy, run in the stand-in host beside
-- tests/peers/service_peers.py: N GetActiveGame whose answers are 16 MiB less 13 bytes each, then
-- MS ms of sleep without serving messages, then messages until every callback came. Prints one line:
-- the callbacks, how many came twice, how many were whole or empty, and the memory the answers held.
--   py service_peers.py --game -- orvane-host.exe --addin Orvane.dll bench/answers_held.lua [N [MS]]
local O = Orvane.Object
local n, busy = tonumber(arg[1] or "120"), tonumber(arg[2] or "25000")
local MiB = 1024 * 1024
local whole_length = 16 * MiB - 13
local calls, twice, whole, empty = 0, 0, 0, 0
local seen = {}
local start = host.clock()
for i = 1, n do
  O:GetActiveGame("@long", "", function(text)
    if seen[i] then twice = twice + 1 end
    seen[i] = true
    calls = calls + 1
    if #text == whole_length then whole = whole + 1 elseif text == "" then empty = empty + 1 end
  end)
end
host.sleep(busy)
local _, _, held = host.memory()
while calls < n and host.clock() - start < busy + 120000 do host.pump(20) end
host.pump(1000)
collectgarbage()
local _, peak = host.memory()
print(string.format("answers held: %d requests: %d callbacks (%d twice), %d whole, %d empty; private bytes " ..
  "%.0f MiB after the busy spell, peak working set %.0f MiB; last callback after %.1f s", n, calls, twice, whole,
  empty, held / MiB, peak / MiB, (host.clock() - start) / 1000))
