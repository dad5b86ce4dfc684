-- Callbacks and handlers handed over inside coroutines. By the time an answer comes, the coroutine
-- may be running, suspended, dead by return or by error, or unreferenced and collected; a callback
-- may resume it, or try to yield. The host runs with its debug allocator, so a call on a freed
-- coroutine faults here instead of passing by luck.
-- Runs beside the loopback service peers, in a prefix where this host's window is the only one
-- (the export Test finds it by name).
local T = require("testlib")
local O = Orvane.Object

-- The state's main thread calls first, outside any finalizer: only then does the add-in keep callbacks
-- that come from coroutines, which cannot tell whether the main thread below them runs a finalizer of
-- the state's close.
O:IsOrvaneRun()

local function full_collect()
  collectgarbage()
  collectgarbage()
end

-- Values whose keys are weak: whether a coroutine still exists after a collection.
local function watch()
  return setmetatable({}, { __mode = "k" })
end

local function count(t)
  local n = 0
  for _ in pairs(t) do n = n + 1 end
  return n
end

T.case("tips callbacks taken in 200 coroutines collected at once all come, once, rightly", function()
  local refs = T.live_refs()
  local calls, texts, alive = {}, {}, watch()
  for i = 1, 200 do
    local co = coroutine.create(function()
      O:GetTipsId("@delay:400:tip" .. i, "c", function(text)
        calls[i] = (calls[i] or 0) + 1
        texts[i] = text
      end)
    end)
    alive[co] = true
    assert(coroutine.resume(co))
  end
  full_collect()
  T.eq(count(alive), 0, "the coroutines are gone before any answer came")
  T.truthy(T.wait_for(function() return count(calls) == 200 end, 15000), "all 200 callbacks came")
  host.pump(200)
  for i = 1, 200 do
    T.eq(calls[i], 1, "calls of request " .. i)
    T.eq(texts[i], "tip" .. i, "answer of request " .. i)
  end
  T.eq(T.live_refs(), refs, "registry references left")
end)

T.case("game-platform callbacks reach coroutines in every state, and leave them as they were", function()
  local refs = T.live_refs()
  local got = {}
  local function note(key)
    return function(text) got[key] = (got[key] or "") .. text .. ";" end
  end
  local function ask(key, ms)
    O:GetActiveGame("@delay:" .. key, tostring(ms), note(key))
  end

  -- Suspended: it yields after asking and is resumed only after its answer came.
  local suspended = coroutine.create(function(base)
    ask("suspended", 200)
    local more = coroutine.yield("asked")
    return base + more
  end)
  T.same(T.list(coroutine.resume(suspended, 40)), T.list(true, "asked"), "first resume")

  -- Dead by error, and dead by return.
  T.eq(coroutine.resume(coroutine.create(function()
    ask("errored", 200)
    error("after asking")
  end)), false, "the erroring coroutine")
  coroutine.wrap(function() ask("returned", 200) end)()

  -- Running: it waits for its own answer.
  local running = coroutine.wrap(function()
    ask("running", 100)
    return T.wait_for(function() return got.running ~= nil end, 5000)
  end)
  T.truthy(running(), "the coroutine saw its own answer")

  -- Normal: it has resumed another, which waits for the first one's answer.
  local outer = coroutine.wrap(function()
    ask("normal", 100)
    return coroutine.wrap(function()
      return T.wait_for(function() return got.normal ~= nil end, 5000)
    end)()
  end)
  T.truthy(outer(), "the inner coroutine saw the outer one's answer")

  full_collect()
  T.truthy(T.wait_for(function() return got.suspended and got.errored and got.returned end, 5000), "answers came")
  host.pump(200)
  for _, key in ipairs({ "suspended", "errored", "returned", "running", "normal" }) do
    T.eq(got[key], key .. ";", "the callback of the " .. key .. " coroutine")
  end
  T.same(T.list(coroutine.resume(suspended, 2)), T.list(true, 42), "the suspended coroutine carries on")
  full_collect()
  T.eq(T.live_refs(), refs, "registry references left")
end)

T.case("a callback resumes the coroutine that waits for it; one that yields fails alone", function()
  local refs = T.live_refs()
  -- The usual way to wait for an answer inside a coroutine.
  local answer
  local waiting
  waiting = coroutine.create(function()
    O:GetTipsId("@delay:100:awaited", "c", function(text) assert(coroutine.resume(waiting, text)) end)
    answer = coroutine.yield()
    return "done"
  end)
  assert(coroutine.resume(waiting))
  T.eq(coroutine.status(waiting), "suspended", "the coroutine waits")

  -- A callback that yields: it cannot, and its error stays its own.
  local yielded = { calls = 0 }
  local asker = coroutine.create(function()
    O:GetTipsId("@delay:100:yield", "c", function(text)
      yielded.calls = yielded.calls + 1
      yielded.text = text
      coroutine.yield("from the callback")
      yielded.after = true
    end)
    return coroutine.yield("asked") .. "!"
  end)
  T.same(T.list(coroutine.resume(asker)), T.list(true, "asked"), "the asking coroutine yields")

  T.truthy(T.wait_for(function() return answer ~= nil and yielded.calls > 0 end, 5000), "both callbacks ran")
  host.pump(200)
  T.eq(answer, "awaited", "the answer the waiting coroutine was resumed with")
  T.eq(coroutine.status(waiting), "dead", "the waiting coroutine finished")
  T.eq(yielded.calls, 1, "calls of the yielding callback")
  T.eq(yielded.text, "yield", "its answer")
  T.eq(yielded.after, nil, "nothing ran after the yield")
  T.same(T.list(coroutine.resume(asker, "resumed")), T.list(true, "resumed!"), "the asking coroutine carries on")
  full_collect()
  T.eq(T.live_refs(), refs, "registry references left")
end)

-- The export Test sends 0x405 to this host's window, which calls the handler with code 2.
local function poke_handler()
  local answer, problem = host.call_export("Test", true)
  T.eq(answer, 0, "Test answers 0 (" .. tostring(problem) .. ")")
end

T.case("a speed-limit handler from a collected coroutine is called, replaced and cleared safely", function()
  local refs = T.live_refs()
  local seen, alive = {}, watch()
  local function register(name)
    local co = coroutine.create(function()
      T.eq(O:SetSpeedLimitHandler(function(code) seen[#seen + 1] = name .. code end), true, "set " .. name)
    end)
    alive[co] = true
    assert(coroutine.resume(co))
  end
  register("first")
  full_collect()
  T.eq(count(alive), 0, "the coroutine is gone")
  poke_handler()
  register("second")
  full_collect()
  poke_handler()
  T.eq(O:ClearSpeedLimitHandler(), true, "clear")
  full_collect()
  poke_handler()
  T.eq(table.concat(seen, ","), "first2,second2", "handler calls")
  T.eq(T.live_refs(), refs, "registry references left")
end)

T.case("a handler that clears itself and serves messages while a collection runs returns safely", function()
  local refs = T.live_refs()
  local steps = {}
  -- Collects on the main thread while the handler's coroutine waits inside the handler.
  O:GetTipsId("@delay:300:collect", "c", function(text)
    steps[#steps + 1] = text
    full_collect()
  end)
  coroutine.wrap(function()
    O:SetSpeedLimitHandler(function(code)
      O:ClearSpeedLimitHandler()
      T.wait_for(function() return #steps > 0 end, 5000)
      steps[#steps + 1] = "handler " .. code
      return 1, 2
    end)
  end)()
  full_collect()
  poke_handler()
  T.eq(table.concat(steps, ","), "collect,handler 2", "what ran")
  full_collect()
  T.eq(T.live_refs(), refs, "registry references left")
end)

T.finish()
