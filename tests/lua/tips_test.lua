-- GetTipsId and RecordTipsShow against the loopback tips peer (tests/peers/service_peers.py). The
-- peer echoes an ordinary request as the hex of the datagram it received; a pid starting with "@"
-- picks another behaviour, and "@find:MARK" / "@count:MARK" ask it about earlier datagrams.
local T = require("testlib")
local hex = T.hex
local O = Orvane.Object

-- Starts one request; the returned record fills in when the callback runs.
local function ask(pid, cid, log)
  local got = { calls = 0 }
  local returned = select("#", O:GetTipsId(pid, cid, function(...)
    got.calls = got.calls + 1
    got.args = select("#", ...)
    got.text = ...
    if log then log[#log + 1] = got.text end
  end))
  got.returned = returned
  return got
end

local function answer(pid, cid, ms)
  local got = ask(pid, cid)
  T.truthy(T.wait_for(function() return got.calls > 0 end, ms or 5000), "a callback for " .. tostring(pid))
  return got.text, got
end

local function peer(query, marker)
  return (answer(query .. ":" .. marker, ""))
end

-- A report waits its turn in the add-in's queue of tasks while a request starts in the loop's next
-- turn, so a request asked right after a report may reach the peer first; reports keep their order
-- among themselves. So a question about reports is asked once a report sent after them has arrived.
local barriers = 0
local function reported(query, marker)
  barriers = barriers + 1
  local mark = string.format("arrived-%s-%04d", T.run_mark, barriers)
  O:RecordTipsShow("", mark, "", "")
  T.truthy(T.wait_for(function() return peer("@count", mark) == "1" end), "the reports reached the peer")
  return peer(query, marker)
end

T.case("the request datagram carries pid and cid as the script gave them, and a zero byte", function()
  local cases = {
    { "123", "7", "request=tips&pid=123&cid=7\0" },
    { "", "", "request=tips&pid=&cid=\0" },
    { 42, "x", "request=tips&pid=42&cid=x\0" },
    { "a&b=c", "=&", "request=tips&pid=a&b=c&cid==&\0" },
    { "\195\169", "\195\169", "request=tips&pid=\195\169&cid=\195\169\0" },
    { "cut\0here", "x", "request=tips&pid=cut&cid=x\0" },
    -- Values with no text form count as empty text.
    { nil, {}, "request=tips&pid=&cid=\0" },
    { true, false, "request=tips&pid=&cid=\0" },
  }
  T.eq(#cases[1][3], 27, "the datagram of pid 123 and cid 7 is 27 bytes")
  for i, c in ipairs(cases) do
    T.eq(answer(c[1], c[2]), hex(c[3]), "datagram of case " .. i)
  end
end)

T.case("the reply reaches the callback as it came, up to its first zero byte", function()
  local full = ("0123456789"):rep(103):sub(1, 1024)
  -- A reply that starts with a zero byte is an empty text, yet no failure.
  local cases = {
    { "@hex:616263", "abc" },
    { "@hex:61626300646566", "abc" },
    { "@hex:00616263", "" },
    { "@size:1", "0" },
    { "@size:1024", full },
    { "@size:1025", "", "GetTipsId: reply_too_long" },
    { "@size:4000", "", "GetTipsId: reply_too_long" },
    { "@empty", "", "GetTipsId: empty_reply" },
  }
  T.causes()
  for _, c in ipairs(cases) do
    T.eq(answer(c[1], "c"), c[2], "reply of " .. c[1])
    T.caused({ c[3] }, "for " .. c[1])
  end
end)

T.case("every started request calls its callback exactly once, with one argument", function()
  local ok = ask("once", "c")
  local failed = ask("@size:2000", "c")
  T.eq(ok.returned, 0, "values returned by GetTipsId")
  T.truthy(T.wait_for(function() return ok.calls > 0 and failed.calls > 0 end), "both callbacks")
  host.pump(300)
  T.eq(ok.calls, 1, "calls of a callback that got an answer")
  T.eq(failed.calls, 1, "calls of a callback whose exchange failed")
  T.eq(ok.args, 1, "arguments")
  T.eq(failed.args, 1, "arguments")
end)

T.case("a callback that is not a function sends nothing at all", function()
  for i, bad in ipairs({ "text", 42, {}, true }) do
    local marker = "no-callback-" .. i
    T.eq(select("#", O:GetTipsId(marker, "c", bad)), 0, "values returned")
    T.eq(peer("@count", marker), "0", "datagrams sent with " .. tostring(bad))
  end
  answer("with-callback-" .. T.run_mark, "c")
  T.eq(peer("@count", "with-callback-" .. T.run_mark), "1", "datagrams sent with a function")
end)

T.case("calls in flight each get their own answer, in the order the exchanges end", function()
  local order = {}
  local slow = ask("@delay:900:slow", "", order)
  local fast = ask("@delay:0:fast", "", order)
  local middle = ask("@delay:450:middle", "", order)
  T.truthy(T.wait_for(function() return #order == 3 end), "all three callbacks")
  T.eq(table.concat(order, ","), "fast,middle,slow", "callback order")
  T.eq(slow.text .. fast.text .. middle.text, "slowfastmiddle", "each its own answer")
end)

T.case("the tip-shown report names the first argument tipid and the second pid", function()
  T.eq(select("#", O:RecordTipsShow("t1", "p1", "c1", "")), 0, "values returned")
  T.eq(reported("@find", "tipid=t1&"), hex("request=popped&pid=p1&tipid=t1&cid=c1&sign=\0"), "the 44-byte report")
  O:RecordTipsShow(7, "p-number", 8.5, "sig")
  T.eq(reported("@find", "pid=p-number&"), hex("request=popped&pid=p-number&tipid=7&cid=8.5&sign=sig\0"),
    "numbers in their text form")
  O:RecordTipsShow(nil, {}, true, "no-text")
  T.eq(reported("@find", "sign=no-text"), hex("request=popped&pid=&tipid=&cid=&sign=no-text\0"),
    "values with no text form count as empty text")
end)

T.case("the report goes out in the ANSI code page, the request as the script's bytes", function()
  -- The tests run Wine with LANG=C, whose ANSI code page is 1252: e-acute is the byte E9 there, a-macron
  -- has a best-fit a, and a character with neither (a CJK ideograph) becomes the default character.
  O:RecordTipsShow("\195\169", "ansi-e", "\196\129", "\228\184\173")
  T.eq(reported("@find", "ansi-e"), hex("request=popped&pid=ansi-e&tipid=\233&cid=a&sign=?\0"), "report")
  T.eq(answer("\195\169", "c"), hex("request=tips&pid=\195\169&cid=c\0"), "request")
end)

T.case("a report goes out whole or not at all", function()
  -- The fixed text and the zero byte take 38 bytes of the 1024-byte buffer.
  local function report(tipid, marker, sign)
    O:RecordTipsShow(tipid, marker, "", sign or "")
    return reported("@len", marker)
  end
  T.eq(report(("t"):rep(986 - 8 - 4), "fits-986", "SIGN"), "1024", "a report of 1024 bytes is sent")
  T.eq(peer("@tail", "fits-986"), hex("&sign=SIGN\0"):sub(-16), "whole, its sign and zero byte last")
  T.eq(report(("t"):rep(987 - 8), "over-987"), "none", "a report one byte over is not sent")
  -- The limit counts the converted bytes: 489 e-acutes are 978 bytes of UTF-8 but 489 in code page 1252.
  T.eq(report(("\195\169"):rep(489), "ansi-fits"), tostring(38 + 489 + 9), "limit applies after conversion")
  T.eq(report(("t"):rep(5000), "far-over"), "none", "a far longer report is not sent")
end)

T.case("a report with a receiver that is not user data sends nothing", function()
  T.eq(select("#", O.RecordTipsShow("junk", "t", "no-receiver", "c", "s")), 0, "values returned")
  T.eq(reported("@count", "no-receiver"), "0", "datagrams")
end)

-- The only case that takes the ten-second wait.
T.case("a server that never answers gives the empty text after the wait, and the script goes on", function()
  local silent = ask("@silent", "c")
  T.eq(answer("meanwhile", "c"), hex("request=tips&pid=meanwhile&cid=c\0"), "a later call's answer")
  T.eq(silent.calls, 0, "the silent exchange is still waiting")
  T.causes()
  T.truthy(T.wait_for(function() return silent.calls > 0 end, 15000), "callback after the wait")
  T.eq(silent.text, "", "answer of the silent exchange")
  T.caused({ "GetTipsId: timed_out" })
end)

T.finish()
