-- Tips and game-platform queries. Both methods return at once; each callback runs later, exactly
-- once, on this thread, with the service's answer or the empty text after any failure.
--
--   orvane-host.exe examples\services.lua [PID [CID]]
--
-- The services are the hosts set when the add-in was built (localhost by default); service_peers.py
-- runs loopback stand-ins of both around the host:
--   py service_peers.py --tips --game -- orvane-host.exe examples\services.lua
-- host.pump(ms) stands in for the host's message loop.
local O = Orvane.Object
local pid, cid = arg[1] or "1001", arg[2] or "7"
local pending = 0

pending = pending + 1
O:GetTipsId(pid, cid, function(tipid)
  pending = pending - 1
  if tipid == "" then
    print("no tip this time")
    return
  end
  print("tip id: " .. tipid)
  -- ... show the tip, then report it. The sign is the script's own business; the add-in checks nothing.
  O:RecordTipsShow(tipid, pid, cid, "sig-" .. pid)
  print("reported the tip as shown")
end)

pending = pending + 1
O:GetActiveGame("player1", "pc", function(games)
  pending = pending - 1
  print("active games: " .. (games ~= "" and games or "(none)"))
end)

-- The game-platform service has no time limit of its own, so the script keeps one.
local deadline = host.clock() + 15000
while pending > 0 and host.clock() < deadline do host.pump(50) end
print(string.format("%d answer(s) still outstanding", pending))
