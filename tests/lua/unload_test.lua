-- The host frees the add-in the way a host that knows nothing of its window does (FreeLibrary, the
-- window left alone), while tips, game-platform and HTTP workers are still out, or while none is.
-- Every taken callback still arrives once; the module goes when its last worker has gone; its
-- window goes with it, so a message sent there later finds nothing instead of code that is gone;
-- and the process ends cleanly.
-- Arguments: mode=busy|idle, poke=PATH, and for busy port=N and log=PATH (the HTTP peer's).
local T = require("testlib")
local M = require("machine")
local O = Orvane.Object

local done = os.getenv("TEMP") .. "\\orvane-unload-poke.txt"

-- Sends the add-in's window a message from another process, serving ours until it is done.
local function poke(...)
  os.remove(done)
  local pipe = assert(io.popen('""' .. M.args.poke .. '" ' .. table.concat({ ... }, " ") .. ' "' .. done .. '""'))
  T.truthy(T.wait_for(function() return M.read(done) ~= nil and M.read(done) ~= "" end, 20000), "the poker ended")
  local output = pipe:read("*a")
  pipe:close()
  return output
end

local function logged(line)
  local text = M.read(M.args.log) or ""
  return ("\n" .. text):find("\n" .. line .. "\n", 1, true) ~= nil
end

if M.args.mode == "busy" then
  T.case("freed with workers out: callbacks arrive once, and the module goes after the last worker", function()
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
    O = nil

    T.eq(host.free_addin(true), true, "FreeLibrary of the add-in")
    T.eq(host.addin_loaded(), true, "workers keep the module")

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
    T.truthy(T.wait_for(function() return logged("closed /delay/1500/first") and logged("closed /delay/1500/second") end,
      10000), "the HTTP workers finished their requests")
    T.truthy(T.wait_for(function() return not host.addin_loaded() end, 5000), "the module went after its last worker")
    host.pump(300)
    for key, n in pairs(calls) do T.eq(n, 1, "calls of " .. key) end
  end)
else
  T.case("freed with no worker out, the module goes at once", function()
    O = nil
    T.eq(host.free_addin(true), true, "FreeLibrary of the add-in")
    T.eq(host.addin_loaded(), false, "the module is gone")
  end)
end

T.case("a message sent to the window afterwards finds no window, and the host lives on", function()
  T.eq(poke("send", "0x405", "0", "0"), "no window\n", "the add-in's window")
  T.eq(poke("post", "0x401", "1", "2"), "no window\n", "the add-in's window")
  host.pump(200)
end)

T.finish()
