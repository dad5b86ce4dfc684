-- A tour of Orvane.Object as a host script sees it. Run from a command prompt in the kit's folder,
-- with the loopback stand-ins of the two services around the host, answering as the services would:
--   py service_peers.py --tips --game --as-services -- orvane-host.exe examples\demo.lua
-- Two of its calls do not fit their methods on purpose (IsWindowForeground(nil), a call without the
-- object), so the stand-in host's checking mode warns about them on stderr. At the end it shows what
-- the add-in wrote for DebugView: one line for each call that failed, with its cause.
local O = Orvane.Object

local function show(label, ...)
  local parts = {}
  for i = 1, select("#", ...) do parts[#parts + 1] = string.format("%q", tostring((select(i, ...)))) end
  print(string.format("%-34s -> %s", label, #parts > 0 and table.concat(parts, ", ") or "(no values)"))
end

print("Orvane.Object is a " .. type(O))
show("IsOrvaneSetup()", O:IsOrvaneSetup())
show("IsOrvaneRun()", O:IsOrvaneRun())
show("QueryOrvaneSetupStatus()", O:QueryOrvaneSetupStatus())
show("GetDownloadPath()", O:GetDownloadPath())
show("IsWindowForeground(nil)", O:IsWindowForeground(nil))
show("LimitModeManualChanged()", O:LimitModeManualChanged())
show("SetSpeedLimitHandler(function)", O:SetSpeedLimitHandler(function() return 0, 0 end))
show("ClearSpeedLimitHandler()", O:ClearSpeedLimitHandler())
show("LogPrint('hello')", O:LogPrint("hello"))
show("SyncHttpRequest('', 100)", O:SyncHttpRequest("", 100))
show("a call without its receiver", O.QueryOrvaneSetupStatus())

-- Asynchronous answers arrive later, on this thread, while the host serves its messages. They are
-- the services' texts: a tip identifier, and the player's active games.
local answered = 0
local function answer(label)
  return function(text)
    print(string.format("%-34s -> %s", label, text ~= "" and text or "(the empty text: see why below)"))
    answered = answered + 1
  end
end
O:GetTipsId("123", "7", answer("GetTipsId callback"))
O:GetActiveGame("player1", "pc", answer("GetActiveGame callback"))
local deadline = host.clock() + 12000
while answered < 2 and host.clock() < deadline do host.pump(50) end
print(string.format("%d of 2 callbacks answered", answered))

print("why calls failed, as DebugView shows it:")
for _, line in ipairs(host.debug_output()) do print("  " .. line) end
