-- Client detection and launch: is the companion game client installed, is it running, where do game
-- downloads go, and starting the client or its setup program.
--
--   orvane-host.exe examples\client.lua [SETUP_PROGRAM [SETUP_PARAMETERS]]
--
-- With a setup program given, the script starts it and waits for its report (window message 0x702).
-- orvane-tray-sim.exe plays the setup program; the shell starts it, so give its full path (from a
-- command prompt in the kit's folder):
--   orvane-host.exe examples\client.lua "%CD%\orvane-tray-sim.exe" "--no-window setup 100 7"
-- host.pump(ms) stands in for the host's message loop, which serves the add-in's window between
-- script calls; a script in the real host reads the status from a timer or a later event instead.
local O = Orvane.Object

local installed, running = O:IsOrvaneSetup(), O:IsOrvaneRun()
print("installed: " .. tostring(installed))
print("running: " .. tostring(running))
print("downloads go to: " .. O:GetDownloadPath())

if installed and not running then
  -- Empty values add no switch; an empty start-from tag becomes "/b_startfrom vemo7".
  print("client started: " .. tostring(O:LaunchOrvane("player1", "", "42", "")))
end

local setup = arg[1]
if setup then
  setup = setup:gsub("/", "\\")  -- a Windows path, as the shell expects
  -- The status is reset to 0, 0 before the start, so an old report is never taken for this run's.
  if not O:LaunchOrvaneSetup(setup, arg[2] or "") then
    print("the setup program could not be started")
  else
    local first, second = O:QueryOrvaneSetupStatus()
    local deadline = host.clock() + 20000
    while first == 0 and second == 0 and host.clock() < deadline do
      host.pump(100)
      first, second = O:QueryOrvaneSetupStatus()
    end
    print(string.format("setup reported %d, %d", first, second))
  end
end
