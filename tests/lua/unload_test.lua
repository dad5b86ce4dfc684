-- The host frees the add-in the way a host that knows nothing of its window does (FreeLibrary, the
-- window left alone), while tips, game-platform and HTTP workers are still out, or while none is.
-- A started add-in has handed the runtime its object and methods and the window its procedure, so it
-- stays mapped for the life of the process: every taken callback still arrives once, Orvane.Object
-- and the window answer as before, and the process ends cleanly. An add-in that was never started
-- (mode=unstarted, the host runs with --no-startup) has handed out nothing and goes at once.
-- Arguments: mode=busy|idle|unstarted, poke=PATH, and for busy port=N and log=PATH (the HTTP peer's).
local T = require("testlib")
local M = require("machine")
local O = Orvane and Orvane.Object

local done = os.getenv("TEMP") .. "\\orvane-unload-poke.txt"

-- Sends the add-in's window a message from another process, serving ours until it is done.
local function poke(...)
  os.remove(done)
  local pipe = T.popen('""' .. M.args.poke .. '" ' .. table.concat({ ... }, " ") .. ' "' .. done .. '""')
  T.truthy(T.wait_for(function() return M.read(done) ~= nil and M.read(done) ~= "" end, 20000), "the poker ended")
  local output = pipe:read("*a")
  pipe:close()
  return output
end

local function logged(line)
  local text = M.read(M.args.log) or ""
  return ("\n" .. text):find("\n" .. line .. "\n", 1, true) ~= nil
end

-- What a script sees of Orvane.Object once the host has let go of the add-in: the usual answers.
local function answers_as_usual()
  T.eq(type(O:IsOrvaneRun()), "boolean", "IsOrvaneRun")
  T.same(T.call(O.QueryOrvaneSetupStatus, O), T.list(0, 0), "QueryOrvaneSetupStatus")
  T.same(T.call(O.IsOrvaneRun), T.list(false), "IsOrvaneRun without a receiver")
  T.same(T.causes("IsOrvaneRun"), T.list("IsOrvaneRun: no_receiver"), "its cause")
  T.eq(type(O:GetDownloadPath()), "string", "GetDownloadPath")
end

if M.args.mode == "busy" then
  T.case("freed with workers out: callbacks arrive once, and the module stays", function()
    local calls, texts = {}, {}
    local function note(key)
      calls[key] = 0
      return function(text)
        calls[key] = calls[key] + 1
        texts[key] = text
      end
    end
    for i = 1, 4 do
      O:GetTipsId("@delay:1000:tip" .. i, "c", note("tips" .. i))
      O:GetActiveGame("@delay:game" .. i, "1000", note("game" .. i))
    end
    local base = "http://127.0.0.1:" .. M.args.port .. "/delay/1500/"
    T.eq(O:SyncHttpRequest(base .. "first", 0), false, "a request still running")
    T.eq(O:SyncHttpRequest(base .. "second", 0), false, "another request still running")
    T.same(T.causes("SyncHttpRequest"), T.list("SyncHttpRequest: limit_passed", "SyncHttpRequest: limit_passed"),
      "causes")

    T.eq(host.free_addin(true), true, "FreeLibrary of the add-in")
    answers_as_usual()

    local function allBack()
      for _, n in pairs(calls) do
        if n == 0 then return false end
      end
      return true
    end
    T.truthy(T.wait_for(allBack, 10000), "every callback came back")
    for i = 1, 4 do
      T.eq(texts["tips" .. i], "tip" .. i, "tips answer " .. i)
      T.eq(texts["game" .. i], "game" .. i, "game answer " .. i)
    end
    T.truthy(T.wait_for(function()
      return logged("closed /delay/1500/first") and logged("closed /delay/1500/second")
    end, 10000), "the HTTP workers finished their requests")
    host.pump(300)
    for key, n in pairs(calls) do T.eq(n, 1, "calls of " .. key) end
    T.eq(host.addin_loaded(), true, "the module stays after its last worker")

    local again
    O:GetTipsId("@delay:50:again", "c", function(text) again = text end)
    T.truthy(T.wait_for(function() return again ~= nil end, 5000), "a request made after the host let go answers")
    T.eq(again, "again", "its answer")
  end)
elseif M.args.mode == "idle" then
  T.case("freed with no worker out, the module stays and Orvane.Object answers as usual", function()
    T.eq(host.free_addin(true), true, "FreeLibrary of the add-in")
    T.eq(host.addin_loaded(), true, "the module is still mapped")
    answers_as_usual()
    T.eq(O:SetSpeedLimitHandler(function() end), true, "SetSpeedLimitHandler")
    T.eq(O:ClearSpeedLimitHandler(), true, "ClearSpeedLimitHandler")
    T.same(T.causes(), T.list(), "causes of the calls that worked")
  end)
else
  T.case("never started, the add-in is gone once freed", function()
    T.eq(Orvane, nil, "nothing published")
    T.eq(host.free_addin(true), true, "FreeLibrary of the add-in")
    T.eq(host.addin_loaded(), false, "the module is gone")
  end)
end

if M.args.mode == "unstarted" then
  T.case("a message sent to the add-in's window name finds none", function()
    T.eq(poke("send", "0x405", "0", "0"), "no window\n", "the add-in's window")
    host.pump(200)
  end)
else
  T.case("the window still answers messages from another process", function()
    T.eq(poke("send", "0x405", "0", "0"), "sent 0\n", "the add-in's window")
    T.eq(poke("send", "0x702", "3", "4"), "sent 0\n", "the setup status")
    T.same(T.call(O.QueryOrvaneSetupStatus, O), T.list(3, 4), "QueryOrvaneSetupStatus")
    host.pump(200)
  end)
end

T.finish()
