-- Thousands of requests in flight at once, beside tests/peers/inflight_peers.py: a tips peer that
-- never answers and a game-platform peer that closes each connection after a second without a byte.
-- Every callback comes exactly once, with the empty text, once its exchange has failed; the host's
-- memory and handles go back to where they were.
local T = require("testlib")
local O = Orvane.Object
local MiB = 1024 * 1024
local n = 3000

T.case(n .. " requests in flight: none lost, none twice, memory and handles back afterwards", function()
  -- Everything that sets itself up on first use does so before the counts are taken.
  local warm = false
  O:GetActiveGame("warm", "up", function() warm = true end)
  O:RecordTipsShow("t", "p", "c", "s")
  T.truthy(T.wait_for(function() return warm end, 10000), "the warm-up request came back")
  collectgarbage()
  host.pump(200)
  local before, peak_before = host.memory()
  local handles = host.handles()

  local calls, texts, answered = {}, {}, 0
  T.causes()
  local start = host.clock()
  for i = 1, n do
    local function callback(text)
      calls[i] = (calls[i] or 0) + 1
      texts[i] = text
      answered = answered + 1
    end
    if i % 2 == 1 then
      O:GetTipsId("inflight" .. i, "c", callback)
    else
      O:GetActiveGame("inflight" .. i, "t", callback)
    end
  end
  T.eq(answered, 0, "callbacks inside the calls that started them")
  T.truthy(T.wait_for(function() return answered >= n end, 30000), "all answered: " .. answered .. " of " .. n)
  local last = host.clock() - start
  host.pump(1000)  -- a second call of any callback would come now
  for i = 1, n do
    T.eq(calls[i], 1, "calls of request " .. i)
    T.eq(texts[i], "", "answer of request " .. i)
  end
  local causes = {}
  for _, cause in ipairs(T.causes()) do causes[cause] = (causes[cause] or 0) + 1 end
  T.eq(causes["GetTipsId: timed_out"], n / 2, "tips requests whose ten seconds passed")
  T.eq(causes["GetActiveGame: connection_closed"], n / 2, "game requests whose connection closed without a reply")
  -- Dropped so that the collection below frees them before the working set is read; every callback
  -- has come, so none writes to them any more.
  calls, texts = nil, nil  -- luacheck: ignore 331
  collectgarbage()
  host.pump(500)
  local after, peak = host.memory()
  io.write(string.format("%d in flight: last answer after %.1f s; working set %.1f MiB before, %.1f at the peak " ..
    "(%.1f before), %.1f after\n", n, last / 1000, before / MiB, peak / MiB, peak_before / MiB, after / MiB))
  -- A thread per request took about a megabyte each under wine64.
  T.truthy(peak - before < 64 * MiB, "the peak working set grew by less than 64 MiB")
  -- Wine's heap keeps the pages it grew to, and the stand-in's debug allocator holds freed Lua blocks
  -- back for a while: measured, a burst of 3000 leaves about 8 MiB resident, a second one a third of
  -- that more and a third nothing, so what stays is the heap's high water, not requests kept.
  T.truthy(after - before < 12 * MiB, "the working set came back within 12 MiB")
  T.eq(host.handles(), handles, "handles")
end)

T.finish()
