-- The host utilities: running a program through the shell, asking whether a window is in the
-- foreground, the add-in's log, an HTTP GET with a time limit, and removing the host's log files.
--
--   orvane-host.exe examples/utilities.lua [BASE_URL]
--
-- BASE_URL is a web server to send the GETs to. http_peer.py runs one on loopback, whose /now
-- answers at once and /delay/MS after MS milliseconds:
--   py http_peer.py --log http.log -- orvane-host.exe examples\utilities.lua http://127.0.0.1:{port}
local O = Orvane.Object

-- The shell's answer is all a script learns: whether the program could be started, not how it ended.
-- Neither of these starts anything.
print("started a program that does not exist: " .. tostring(O:ExecuteExternal([[C:\no\such\program.exe]], "")))
print("started with an empty path: " .. tostring(O:ExecuteExternal("", "/?")))

-- A window handle is light userdata. In the host application a script takes it from the host's own
-- script interface (which function gives one depends on the host); the stand-in host's
-- host.foreground_window() gives the window in the foreground, nil when no window is.
local focused = host.foreground_window()
if focused then
  print("the focused window is in the foreground: " .. tostring(O:IsWindowForeground(focused)))
else
  print("no window is in the foreground")
end
-- The handle is compared, not checked: one that names no window is simply not the foreground window.
print("some other window is in the foreground: " .. tostring(O:IsWindowForeground(host.lightuserdata(0x10))))

-- The add-in's log keeps nothing; use print (or the host's own log) to see what a script does.
print("LogPrint answered " .. select("#", O:LogPrint("utilities example: started")) .. " values")

local base = arg[1]
if base then
  -- A GET whose outcome does not matter, but which must not hold the script thread for long: during
  -- the wait no callback runs and the tray program's requests wait too.
  print("a server that answers at once, 5 s allowed: " .. tostring(O:SyncHttpRequest(base .. "/now", 5000)))
  -- Past its limit the request runs on in the background; the answer only says it did not end in time.
  print("a server that takes 3 s, 300 ms allowed: " .. tostring(O:SyncHttpRequest(base .. "/delay/3000", 300)))
else
  print("no server given: no GET sent")
end
print("an empty URL: " .. tostring(O:SyncHttpRequest("", 5000)))

-- Removes C:\JOTTLE\JOTTLE.Kestrin[*].*.log, and the folder when nothing else is left in it; the
-- add-in already did so once when this script first reached Orvane.Object.
print("RemoveLog answered " .. select("#", O:RemoveLog()) .. " values")
