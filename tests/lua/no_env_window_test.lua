-- A runtime without a default environment: nothing is published, yet the message window is up, so
-- the tray and setup programs still reach the add-in.
local T = require("testlib")
local poke = arg[1]

T.case("the window answers another process although no object was published", function()
  T.eq(Orvane, nil, "Orvane in the script's state")
  T.eq(host.startup_result(), 0, "Startup's answer")
  local gets, releases = host.env_stats()
  T.eq(gets, 0, "environment references taken")
  T.eq(releases, 0, "environment references released")
  local done = os.getenv("TEMP") .. "\\orvane-noenv-done.txt"
  os.remove(done)
  local pipe = T.popen('""' .. poke .. '" send 0x702 3 57 "' .. done .. '""')
  T.truthy(T.wait_for(function() return io.open(done, "r") ~= nil end, 20000), "the poker finished")
  T.eq(pipe:read("*a"), "sent 0\n", "0x702 answered by the add-in's window")
  pipe:close()
end)

T.finish()
