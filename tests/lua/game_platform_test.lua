-- GetActiveGame against the loopback game-platform peer (tests/peers/service_peers.py). The peer
-- answers an ordinary request with the hex of the exact bytes it received as the "games" value; a
-- name starting with "@" picks another reply, hostile ones included.
local T = require("testlib")
local hex = T.hex
local be32 = T.be32
local item = T.item
local O = Orvane.Object

-- The request the client must send for a name and a type: header, then the four items.
local function request(name, kind)
  local body = item("name") .. item(name) .. item("type") .. item(kind)
  return ("\0"):rep(8) .. be32(1) .. be32(#body) .. body
end

local function ask(name, kind, log)
  local got = { calls = 0 }
  got.returned = select("#", O:GetActiveGame(name, kind, function(...)
    got.calls = got.calls + 1
    got.args = select("#", ...)
    got.text = ...
    if log then log[#log + 1] = got.text end
  end))
  return got
end

local function answer(name, kind, ms)
  local got = ask(name, kind)
  T.truthy(T.wait_for(function() return got.calls > 0 end, ms or 5000), "a callback for " .. tostring(name))
  return got.text
end

T.case("the request is framed byte for byte", function()
  T.eq(hex(request("abc", "x")), "000000000000000000000001" .. "0000001c" ..
    "000000046e616d6500000003616263000000047479706500000001" .. "78", "the framing the tests expect")
  local cases = {
    { "abc", "x", request("abc", "x") },
    { "", "", request("", "") },
    { 42, "t", request("42", "t") },
    { "\195\169", "\0", request("\195\169", "") },
    { "cut\0here", 1.5, request("cut", "1.5") },
    -- Values with no text form count as empty text.
    { nil, {}, request("", "") },
    { true, false, request("", "") },
  }
  for i, c in ipairs(cases) do
    T.eq(answer(c[1], c[2]), hex(c[3]), "request of case " .. i)
  end
end)

T.case("the answer is the item after the first exact games item, and the empty text otherwise", function()
  local cases = {
    { "@answer", "123" },              -- the L = 16 reply games, 123
    { "@middle", "ok" },               -- abc, games, ok
    { "@nogames", "", "key_missing" }, -- Games and "games " do not match
    { "@l0", "", "key_missing" },      -- an empty body
    { "@games-last", "", "reply_malformed" },  -- nothing after the key
    { "@overrun", "", "reply_malformed" },     -- the value's length runs past the body
    { "@close-after-header", "", "connection_closed" },
    { "@close-mid-body", "", "connection_closed" },
    { "@all-ones", "", "no_answer" },  -- L = 0xFFFFFFFF is no answer, whatever follows
    { "@split", "split-ok" },          -- header and body in several segments
    { "@at-max", "at-max" },           -- a body of exactly 16 MiB is still read
  }
  T.causes()
  for _, c in ipairs(cases) do
    T.eq(answer(c[1], "t", 15000), c[2], "answer to " .. c[1])
    T.caused({ c[3] and "GetActiveGame: " .. c[3] }, "for " .. c[1])
  end
end)

T.case("a body declared above 16 MiB is refused without waiting for it", function()
  -- The peer sends the whole oversized body (with a games item) or nothing, and keeps the connection
  -- open for 20 s: only a client that does not read the body can answer before that.
  T.causes()
  T.eq(answer("@over-max", "t", 10000), "", "one byte over the bound")
  T.eq(answer("@huge", "t", 10000), "", "a declared 2 GiB")
  T.caused({ "GetActiveGame: reply_too_long", "GetActiveGame: reply_too_long" })
end)

T.case("a long body that turns out malformed ends at its bad item, not when its server closes", function()
  -- The parse of a long body overlaps the receive of its next piece; the peer sends nothing past the
  -- bad item and keeps the connection open for 20 s, so only a client that gives up that receive
  -- answers before.
  T.causes()
  T.eq(answer("@bad-long", "20000", 10000), "", "a body whose item runs past its end")
  T.caused({ "GetActiveGame: reply_malformed" })
end)

T.case("every started request calls its callback exactly once, with one argument", function()
  local ok = ask("@answer", "t")
  local failed = ask("@close-after-header", "t")
  T.eq(ok.returned, 0, "values returned by GetActiveGame")
  T.truthy(T.wait_for(function() return ok.calls > 0 and failed.calls > 0 end), "both callbacks")
  host.pump(300)
  T.eq(ok.calls, 1, "calls of a callback that got an answer")
  T.eq(failed.calls, 1, "calls of a callback whose exchange failed")
  T.eq(ok.args + failed.args, 2, "one argument each")
end)

T.case("a callback that is not a function opens no connection", function()
  for i, bad in ipairs({ "text", 42, {}, true }) do
    T.eq(select("#", O:GetActiveGame("no-callback-" .. i, "t", bad)), 0, "values returned")
  end
  answer("with-callback-" .. T.run_mark, "t")
  T.eq(answer("@count:no-callback-", "t"), "0", "requests without a function")
  T.eq(answer("@count:with-callback-" .. T.run_mark, "t"), "1", "requests with a function")
end)

T.case("calls in flight each get their own answer, in the order the exchanges end", function()
  local order = {}
  local slow = ask("@delay:slow", "900", order)
  local fast = ask("@delay:fast", "0", order)
  local middle = ask("@delay:middle", "450", order)
  T.truthy(T.wait_for(function() return #order == 3 end), "all three callbacks")
  T.eq(table.concat(order, ","), "fast,middle,slow", "callback order")
  T.eq(slow.text .. fast.text .. middle.text, "slowfastmiddle", "each its own answer")
end)

T.case("a server that never answers keeps only its worker waiting", function()
  T.causes()
  local waiting = ask("@never", "3000")
  T.eq(answer("@answer", "t"), "123", "a later call's answer")
  T.eq(waiting.calls, 0, "the unanswered exchange is still waiting")
  T.truthy(T.wait_for(function() return waiting.calls > 0 end, 10000), "callback once the peer closes")
  T.eq(waiting.text, "", "answer of a connection closed without a reply")
  T.caused({ "GetActiveGame: connection_closed" })
end)

T.case("a connection whose server says nothing is kept alive", function()
  -- Keep-alive probes find a server that vanished without a word; a live one's system answers them
  -- however long the server stays silent. The peer reads the timer of the client's idle socket: kind 2
  -- is keep-alive, due in hundredths of a second.
  local kind, due = answer("@keepalive", "t"):match("^(%d+) (%d+)$")
  T.eq(kind, "2", "the timer of the idle connection")
  T.truthy(tonumber(due) > 10000 and tonumber(due) <= 12000,
    "first probe after " .. tostring(due) .. " hundredths of a second")
end)

T.case("replies that stall after the first pieces of a long answer hold only what came", function()
  local MiB = 1024 * 1024
  local _, _, private_before = host.memory()
  local private_peak = private_before
  local stalled = {}
  T.causes()
  for i = 1, 200 do stalled[i] = ask("@stall", "3000") end
  T.truthy(T.wait_for(function()
    local _, _, private = host.memory()
    private_peak = math.max(private_peak, private)
    for _, s in ipairs(stalled) do if s.calls == 0 then return false end end
    return true
  end, 20000), "every stalled reply answered once its connection closed")
  for i, s in ipairs(stalled) do T.eq(s.text, "", "answer of stalled reply " .. i) end
  local causes = T.causes()
  T.eq(#causes, 200, "causes written")
  T.eq(causes[1], "GetActiveGame: connection_closed", "the cause of a stalled reply")
  -- Each has 128 KiB of its answer. A buffer set aside for the declared 16 MiB answer, or a 1 MiB
  -- receive buffer each, would be gigabytes or 200 MiB.
  T.truthy(private_peak - private_before < 100 * MiB,
    string.format("private bytes grew by %.1f MiB at the most", (private_peak - private_before) / MiB))
end)

T.case("answers that wait for the script hold no more than their budget; past it the empty text", function()
  -- A 256 MiB budget is sixteen whole answers of 16 MiB: of 24 that come while the script is busy, at
  -- least eight find no room. All of them arrived long before the script pumps again.
  local MiB = 1024 * 1024
  local whole = 16 * MiB - 13
  collectgarbage()
  host.pump(200)
  local _, _, private_before = host.memory()
  local got = {}
  T.causes()
  for i = 1, 24 do got[i] = ask("@long", "") end
  -- Every answer comes while the script sleeps, however slowly this machine moves them: one taken
  -- meanwhile would free its budget for another.
  host.sleep(T.scaled(10000))
  local _, _, private_held = host.memory()
  T.truthy(T.wait_for(function()
    for _, g in ipairs(got) do if g.calls == 0 then return false end end
    return true
  end, 30000), "every answer came")
  host.pump(300)
  local full, empty = 0, 0
  for i, g in ipairs(got) do
    T.eq(g.calls, 1, "calls of request " .. i)
    if #g.text == whole then full = full + 1 elseif g.text == "" then empty = empty + 1 end
  end
  io.write(string.format("24 answers of 16 MiB while the script slept: %d whole, %d empty; private bytes grew by " ..
    "%.0f MiB\n", full, empty, (private_held - private_before) / MiB))
  T.eq(full + empty, 24, "answers either whole or empty")
  local overBudget = 0
  for _, cause in ipairs(T.causes()) do
    T.eq(cause, "GetActiveGame: over_budget", "the cause of an empty answer")
    overBudget = overBudget + 1
  end
  T.eq(overBudget, empty, "one cause for each empty answer")
  T.truthy(full >= 1 and full <= 16, full .. " whole answers")
  T.truthy(private_held - private_before < 288 * MiB,
    string.format("private bytes grew by %.0f MiB while the answers waited", (private_held - private_before) / MiB))
  got = nil
  collectgarbage()
  -- The buffers of answers delivered and freed are free again.
  T.eq(#answer("@long", "", 15000), whole, "length of a later answer")
end)

T.case("servers that stall holding the whole budget make way for a healthy answer, which comes whole", function()
  -- 2000 replies that each send 128 KiB of a 16 MiB answer and then nothing for 20 s hold more than
  -- the 256 MiB budget between them; a stalled one may be ended to make room once it has waited
  -- two seconds.
  local MiB = 1024 * 1024
  local stalled = {}
  T.causes()
  -- Their hold is stretched with the test's waits: where setting up 2000 exchanges takes longer than
  -- the hold, the first would close before the healthy answer is asked, and none need ending. It
  -- stays below the exchange's 300 s idle limit, past which they would end for that.
  for i = 1, 2000 do stalled[i] = ask("@stall", tostring(math.min(T.scaled(20000), 240000))) end
  -- Every stalled reply has sent what it will once the memory they hold stops growing.
  local last, steady = -1, 0
  while steady < 4 do
    host.pump(500)
    local _, _, private = host.memory()
    steady = math.abs(private - last) < MiB and steady + 1 or 0
    last = private
  end
  host.pump(2500)
  local healthy = answer("@long", tostring(2 * MiB), 30000)
  T.eq(#healthy, 2 * MiB, "the healthy answer, whole")
  T.truthy(T.wait_for(function()
    for _, s in ipairs(stalled) do if s.calls == 0 then return false end end
    return true
  end, 60000), "every stalled reply answered once its connection closed, or it was ended")
  local causes = {}
  for _, cause in ipairs(T.causes()) do causes[cause] = (causes[cause] or 0) + 1 end
  local ended = causes["GetActiveGame: over_budget"] or 0
  T.truthy(ended > 0, "stalled replies ended to make room")
  local others = {}
  for cause, count in pairs(causes) do
    if cause ~= "GetActiveGame: over_budget" and cause ~= "GetActiveGame: connection_closed" then
      others[#others + 1] = cause .. " x" .. count
    end
  end
  table.sort(others)
  T.eq(ended + (causes["GetActiveGame: connection_closed"] or 0), 2000,
    "a cause for each stalled reply (others: " .. (#others > 0 and table.concat(others, ", ") or "none") .. ")")
  for i, s in ipairs(stalled) do T.eq(s.calls, 1, "calls of stalled reply " .. i) end
end)

T.finish()
