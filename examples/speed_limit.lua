-- The speed-limit hand-shake with the game client's tray program. The tray program asks the host to
-- limit (code 1) or restore (code 0) its download speed; the handler's two results go back to it.
-- The script tells the tray program when the user changed the mode here (LimitModeManualChanged).
--
--   orvane-host.exe examples\speed_limit.lua orvane-tray-sim.exe
--
-- orvane-tray-sim.exe plays the tray program: it asks once to limit and once to restore, then
-- waits for the three messages the add-in posts back. host.pump(ms) stands in for the host's
-- message loop, which is where the handler runs.
local O = Orvane.Object
local tray_sim = assert(arg[1], "usage: speed_limit.lua PATH-OF-orvane-tray-sim.exe")

-- What the two numbers mean is agreed between the script and the tray program; here: accepted (1)
-- and the limit in KiB/s (0 for none).
local LIMIT_KIBPS = 512
local asked = {}
O:SetSpeedLimitHandler(function(code)
  asked[#asked + 1] = code
  if code == 1 then
    print("tray asks to limit: answering 1, " .. LIMIT_KIBPS)
    return 1, LIMIT_KIBPS
  elseif code == 0 then
    print("tray asks to restore: answering 1, 0")
    return 1, 0
  end
  print("tray notification, code " .. code)  -- 2 and 3: nothing is sent back
end)

-- Start the simulator in the background; it logs to a file that this script reads while it keeps
-- serving messages (the add-in's window lives on this thread, so the tray's requests wait for it).
local log = (os.getenv("TEMP") or ".") .. "\\orvane-speed-limit-example.log"
os.remove(log)
local command = string.format('""%s" --log "%s" send 0x403 send 0x404 expect 3 10000"', tray_sim:gsub("/", "\\"), log)
local sim = assert(io.popen(command, "r"))

local function logged()
  local lines, file = {}, io.open(log, "r")
  if file then
    for line in file:lines() do lines[#lines + 1] = line end
    file:close()
  end
  return lines
end

local function wait(done, ms)
  local deadline = host.clock() + ms
  while not done() and host.clock() < deadline do host.pump(50) end
end

wait(function() return #asked >= 2 end, 15000)
print("manual mode change posted: " .. tostring(O:LimitModeManualChanged()))
wait(function()
  local lines = logged()
  return #lines > 0 and lines[#lines]:match("^done") ~= nil
end, 15000)
sim:close()

for _, line in ipairs(logged()) do
  local message, w, l = line:match("^recv 0x(%x+) (%d+) (%-?%d+)$")
  if message then print(string.format("tray received 0x%s %s %s", message, w, l)) end
end
os.remove(log)
O:ClearSpeedLimitHandler()
