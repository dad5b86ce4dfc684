-- More GetActiveGame requests than the add-in lets be in flight at once, beside
-- tests/peers/inflight_peers.py, whose game-platform peer accepts every connection and never answers
-- (it closes each after a few seconds, so that the test ends). Those past the bound fail at once with
-- a cause of their own; every callback comes exactly once; and once the exchanges have ended, a
-- request is taken again.
local T = require("testlib")
local O = Orvane.Object
local most = 5000
local beyond = 100

T.case(string.format("%d requests to a silent server: %d fail at once, none lost, none twice", most + beyond, beyond),
  function()
    local calls, answered = {}, 0
    T.causes()
    local start = host.clock()
    for i = 1, most + beyond do
      O:GetActiveGame("cap" .. i, "t", function()
        calls[i] = (calls[i] or 0) + 1
        answered = answered + 1
      end)
    end
    local started = host.clock() - start
    T.truthy(T.wait_for(function() return answered >= beyond end, 2000), "the requests past the bound answered at once")
    for i = 1, most + beyond do
      T.eq(calls[i], i > most and 1 or nil, "calls of request " .. i .. " before the server closed")
    end
    -- Taken now: the host keeps only the newest few thousand lines.
    local early = T.causes()
    T.eq(early.n, beyond, "lines so far")
    for i = 1, early.n do T.eq(early[i], "GetActiveGame: too_many_in_flight", "line " .. i) end
    T.truthy(T.wait_for(function() return answered >= most + beyond end, 60000), "all answered: " .. answered)
    host.pump(500)  -- a second call of any callback would come now
    for i = 1, most + beyond do T.eq(calls[i], 1, "calls of request " .. i) end
    local causes = {}
    for _, cause in ipairs(T.causes()) do causes[cause] = (causes[cause] or 0) + 1 end
    T.truthy((causes["GetActiveGame: connection_closed"] or 0) > 0, "requests the server held end as it closes")
    causes["GetActiveGame: connection_closed"] = nil
    T.eq(next(causes), nil, "no other cause")
    io.write(string.format("%d requests started in %.0f ms\n", most + beyond, started))

    local again = false
    O:GetActiveGame("again", "t", function() again = true end)
    T.truthy(T.wait_for(function() return again end, 30000), "the request after them answered")
    T.same(T.causes(), T.list("GetActiveGame: connection_closed"), "it reached the server")
  end)

T.finish()
