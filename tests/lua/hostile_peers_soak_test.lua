-- Every hostile behaviour of the loopback service peers (tests/peers/service_peers.py) at once, wave
-- after wave, with ordinary requests among them: oversized, empty, silent, split, cut and malformed
-- replies, bodies up to the 16 MiB bound and declared lengths past it. The host survives; every request
-- gets exactly one callback, with the answer its reply calls for; no registry reference is left.
local T = require("testlib")
local hex = T.hex
local O = Orvane.Object

-- Each with the answer it calls for and, for an empty one, the cause the add-in writes.
local tips = {
  { "@hex:616263", "abc" }, { "@hex:61626300646566", "abc" }, { "@size:1024", ("0123456789"):rep(103):sub(1, 1024) },
  { "@size:1025", "", "reply_too_long" }, { "@size:4000", "", "reply_too_long" }, { "@empty", "", "empty_reply" },
  { "@delay:300:late", "late" },
  -- No reply at all: the worker gives up after its ten seconds.
  { "@silent", "", "timed_out" },
}
local games = {
  { "@answer", "", "123" }, { "@middle", "", "ok" }, { "@nogames", "", "", "key_missing" },
  { "@l0", "", "", "key_missing" }, { "@split", "", "split-ok" },
  { "@close-after-header", "", "", "connection_closed" }, { "@close-mid-body", "", "", "connection_closed" },
  { "@all-ones", "", "", "no_answer" }, { "@over-max", "", "", "reply_too_long" },
  { "@huge", "", "", "reply_too_long" }, { "@overrun", "", "", "reply_malformed" },
  { "@games-last", "", "", "reply_malformed" }, { "@never", "1500", "", "connection_closed" },
  { "@delay:slow", "400", "slow" },
}

local requests = {}

local function track(what, expected)
  local r = { what = what, expected = expected, calls = 0 }
  requests[#requests + 1] = r
  return function(text)
    r.calls = r.calls + 1
    r.text = text
  end
end

-- How often each cause is due, as "Method: cause".
local dueCauses = {}
local function due(cause)
  if cause then dueCauses[cause] = (dueCauses[cause] or 0) + 1 end
end

local function wave(n)
  for _, t in ipairs(tips) do
    O:GetTipsId(t[1], "w" .. n, track("tips " .. t[1], t[2]))
    due(t[3] and "GetTipsId: " .. t[3])
  end
  for _, g in ipairs(games) do
    O:GetActiveGame(g[1], g[2], track("game " .. g[1], g[3]))
    due(g[4] and "GetActiveGame: " .. g[4])
  end
  -- Ordinary requests among the hostile ones are echoed as the hex of what the peer received.
  O:GetTipsId("plain" .. n, "c", track("tips plain", hex("request=tips&pid=plain" .. n .. "&cid=c\0")))
  -- Every other wave, a body of exactly the bound.
  if n % 2 == 1 then O:GetActiveGame("@at-max", "", track("game @at-max", "at-max")) end
end

local before = T.live_refs()

T.case("waves of hostile replies: every request is answered once, as its reply calls for", function()
  local waves = 8
  T.causes()
  for n = 1, waves do
    wave(n)
    host.pump(1000)
  end
  local function allBack()
    for _, r in ipairs(requests) do
      if r.calls == 0 then return false end
    end
    return true
  end
  T.truthy(T.wait_for(allBack, 20000), #requests .. " requests answered")
  host.pump(500)
  for _, r in ipairs(requests) do
    T.eq(r.calls, 1, "callback calls of " .. r.what)
    T.eq(r.text, r.expected, "answer of " .. r.what)
  end
  -- Every empty answer names its cause, and no other cause is written.
  local written = {}
  for _, cause in ipairs(T.causes()) do written[cause] = (written[cause] or 0) + 1 end
  local function counts(map)
    local list = {}
    for cause, n in pairs(map) do list[#list + 1] = cause .. " x" .. n end
    table.sort(list)
    return T.list(unpack(list))
  end
  T.same(counts(written), counts(dueCauses), "causes written")
  T.eq(T.live_refs(), before, "live registry references")
end)

T.finish()
