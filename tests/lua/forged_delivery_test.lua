-- Another process can send the delivery messages with any numbers; they name nothing of ours and
-- must be ignored, not dereferenced.
local T = require("testlib")
local O = Orvane.Object
local poke = arg[1]

local done = os.getenv("TEMP") .. "\\orvane-poke-done.txt"

local function readDone()
  local f = io.open(done, "r")
  if not f then return nil end
  local line = f:read("*a")
  f:close()
  return line ~= "" and line or nil
end

-- Starts the poker and serves messages until it is done, so a sent message is answered.
local function run(...)
  os.remove(done)
  -- cmd strips the outer quotes of a command line, so the whole line is quoted once more.
  local command = '""' .. poke .. '" ' .. table.concat({ ... }, " ") .. ' "' .. done .. '""'
  local pipe = T.popen(command)
  T.truthy(T.wait_for(readDone, 20000), "the poker finished")
  local output = pipe:read("*a")
  pipe:close()
  host.pump(50)
  return output
end

T.case("forged 0x401 and 0x402, sent or posted, with garbage parameters are ignored", function()
  local garbage = { { "0", "0" }, { "1", "2" }, { "0x10", "0x20" }, { "0xFFFFFFFFFFFFFFFF", "-1" },
                    { "0x7FFE0000", "0x7FFE0000" } }
  for _, message in ipairs({ "0x401", "0x402" }) do
    for _, pair in ipairs(garbage) do
      T.eq(run("send", message, pair[1], pair[2]), "sent 0\n", "send " .. message .. " " .. pair[1])
      T.eq(run("post", message, pair[1], pair[2]), "posted\n", "post " .. message .. " " .. pair[1])
    end
  end
end)

T.case("a spray of forgeries leaves the real deliveries it meets in the window alone", function()
  os.remove(done)
  local pipe = T.popen('""' .. poke .. '" spray 2000 7 "' .. done .. '""')
  local calls, asked, answered = {}, 0, 0
  local function ask()
    asked = asked + 1
    local id = asked
    calls[id] = 0
    -- Nothing serves the game platform here: each request fails at once, and is delivered.
    O:GetActiveGame("real-" .. id, "t", function()
      calls[id] = calls[id] + 1
      if calls[id] == 1 then answered = answered + 1 end
    end)
  end
  local deadline = host.clock() + T.scaled(30000)
  while not readDone() and host.clock() < deadline do
    if asked - answered < 16 then ask() end
    host.pump(5)
  end
  local output = pipe:read("*a")
  pipe:close()
  T.eq(output, "sprayed 2000\n", "the spray")
  T.truthy(T.wait_for(function() return answered == asked end, 10000), asked .. " real requests answered")
  host.pump(300)
  T.truthy(asked >= 16, "real requests were in flight during the spray (" .. asked .. ")")
  for id = 1, asked do T.eq(calls[id], 1, "callback calls of request " .. id) end
end)

T.case("the window still serves its own messages afterwards", function()
  T.eq(run("send", "0x702", "3", "57"), "sent 0\n", "0x702")
  T.same(T.call(O.QueryOrvaneSetupStatus, O), T.list(3, 57))
end)

T.finish()
