-- The game client as the add-in sees it on this machine: its registry key under the current user,
-- its mutex held by another process, its launches through the shell, and the download folder.
local T = require("testlib")
local M = require("machine")
local O = Orvane.Object

local VENDOR_KEY = "SOFTWARE\\Kestrin Network"
local KEY = VENDOR_KEY .. "\\Game\\VemoOrvane"
local MUTEX = "VemoOrvane-CDE09814-3936-4def-AECC-BEBE144EFD93"
local SUB_PATH = "Kestrin\230\184\184\230\136\143\\ToluDownload\\"  -- the UTF-8 of "Kestrin游戏\ToluDownload\"
local WM_SETUP_STATUS = 0x702

local function sz(text) return M.utf16(text) .. "0000" end

M.delete_key(VENDOR_KEY)

T.case("IsOrvaneSetup is true exactly when InstDir reads as plain text", function()
  T.eq(O:IsOrvaneSetup(), false, "without the key")
  M.set_value(KEY, "Path", M.REG_SZ, sz("C:\\elsewhere.exe"))
  T.eq(O:IsOrvaneSetup(), false, "key without InstDir")
  local cases = {
    { "REG_SZ", M.REG_SZ, sz("C:\\Games\\Orvane"), true },
    { "REG_EXPAND_SZ", M.REG_EXPAND_SZ, sz("%ProgramFiles%\\Orvane"), true },
    { "REG_DWORD", M.REG_DWORD, "01000000", false },
    { "REG_MULTI_SZ", M.REG_MULTI_SZ, sz("C:\\Games") .. "0000", false },
    { "REG_BINARY holding text", M.REG_BINARY, sz("C:\\Games"), false },
    { "zero bytes", M.REG_SZ, "", false },
    { "only its NUL", M.REG_SZ, "0000", false },
    { "a NUL before the text", M.REG_SZ, "0000" .. sz("C:\\Games"), false },
    { "a NUL in the middle", M.REG_SZ, sz("C:") .. sz("Games"), true },
    { "odd byte count", M.REG_SZ, sz("C:\\Games") .. "00", false },
    { "no terminating NUL", M.REG_SZ, M.utf16("C:\\Games"), false },
    { "259 characters", M.REG_SZ, sz(string.rep("d", 259)), true },
    { "260 characters", M.REG_SZ, sz(string.rep("d", 260)), false },
  }
  for _, c in ipairs(cases) do
    M.set_value(KEY, "InstDir", c[2], c[3])
    T.eq(O:IsOrvaneSetup(), c[4], c[1])
  end
  M.delete_key(KEY)
end)

T.case("LaunchOrvane starts Path with the switches composed in order, values unquoted", function()
  local client = M.recorder("client.exe")
  M.set_value(KEY, "Path", M.REG_SZ, sz(client))
  local cases = {
    { { "", "", "", "" }, " /b_startfrom vemo7" },
    { { "", "", "", "tag1" }, " /b_startfrom tag1" },
    { { "u1", "", "42", "" }, " /b_username u1 /b_gameid 42 /b_startfrom vemo7" },
    { { "", "jk", "", "" }, " /b_jumpkey jk /b_startfrom vemo7" },
    { { "user name", "j k", "7", "from here" },
      " /b_username user name /b_jumpkey j k /b_gameid 7 /b_startfrom from here" },
    { { "\230\184\184\230\136\143", "", "", "" }, " /b_username \230\184\184\230\136\143 /b_startfrom vemo7" },
    { { "ab\0cd", "", "", "" }, " /b_username ab /b_startfrom vemo7" },
    { { 1, 2, 3, 4 }, " /b_username 1 /b_jumpkey 2 /b_gameid 3 /b_startfrom 4" },
    { { {}, true, nil, print }, " /b_startfrom vemo7" },
  }
  for i, c in ipairs(cases) do
    local a = c[1]
    T.eq(O:LaunchOrvane(a[1], a[2], a[3], a[4]), true, "answer of case " .. i)
    local record = M.record(client)
    T.truthy(record, "case " .. i .. " started the client")
    T.eq(record.program, client, "program of case " .. i)
    -- The shell puts one blank between the quoted program and the parameters text.
    T.eq(record.rest, " " .. c[2], "parameters of case " .. i)
    T.eq(record.show, 1, "show command of case " .. i)
  end
  T.eq(O:QueryOrvaneSetupStatus(), 0, "a client launch leaves the setup status alone")
  M.delete_key(KEY)
end)

T.case("LaunchOrvane uses Path only as plain text and starts nothing otherwise", function()
  local client = M.recorder("client-path.exe")
  T.eq(O:LaunchOrvane("u", "k", "g", "t"), false, "without the key")
  M.set_value(KEY, "InstDir", M.REG_SZ, sz("C:\\Games"))
  T.eq(O:LaunchOrvane("u", "k", "g", "t"), false, "without Path")
  M.set_value(KEY, "Path", M.REG_DWORD, "01000000")
  T.eq(O:LaunchOrvane("u", "k", "g", "t"), false, "Path of type REG_DWORD")
  M.set_value(KEY, "Path", M.REG_SZ, M.utf16(client))
  T.eq(O:LaunchOrvane("u", "k", "g", "t"), false, "Path without its NUL")
  T.eq(M.record(client, 1000), nil, "nothing was started")

  M.set_value(KEY, "Path", M.REG_SZ, sz(client) .. sz("ignored"))
  T.eq(O:LaunchOrvane("", "", "", ""), true, "Path cut at a NUL in the middle")
  T.eq((M.record(client) or {}).program, client, "program before the NUL")

  -- A REG_EXPAND_SZ Path is text too (the shell resolves references the system knows; this one it
  -- does not, so the file name holds it literally).
  local literal = M.recorder("client%ORVANE_UNDEFINED%.exe")
  M.set_value(KEY, "Path", M.REG_EXPAND_SZ, sz(literal))
  T.eq(O:LaunchOrvane("", "", "", ""), true, "REG_EXPAND_SZ Path")
  T.eq((M.record(literal) or {}).program, literal, "program of the unexpanded Path")

  -- The longest Path there is: 259 characters and its NUL.
  local prefix = M.args.work .. "/long-"
  local long = M.recorder("long-" .. string.rep("x", 259 - #prefix - 4) .. ".exe")
  T.eq(#long, 259, "length of the long path")
  M.set_value(KEY, "Path", M.REG_SZ, sz(long))
  T.eq(O:LaunchOrvane("", "", "", "t"), true, "259-character Path")
  local record = M.record(long)
  T.eq(record and record.rest, " " .. " /b_startfrom t", "the 259-character client was started")
  M.delete_key(KEY)
end)

local function status() return T.call(O.QueryOrvaneSetupStatus, O) end

local function post_status(first, second)
  T.eq(M.run(M.args.window_poster, WM_SETUP_STATUS, first, second), 0, "posting the setup status")
  T.truthy(T.wait_for(function()
    local s = status()
    return s[1] ~= 0 or s[2] ~= 0
  end, 20000), "the setup status arrived")
end

T.case("LaunchOrvaneSetup resets the setup status before launching, even when the launch fails", function()
  T.same(status(), T.list(0, 0), "setup status")
  post_status(3, 57)
  T.same(status(), T.list(3, 57), "setup status")
  T.eq(O:LaunchOrvaneSetup(M.args.work .. "/no-such-setup.exe", ""), false, "missing setup program")
  T.same(status(), T.list(0, 0), "setup status")

  post_status(0xFFFFFFFF, 9)
  T.same(status(), T.list(-1, 9), "setup status")
  local setup = M.recorder("setup.exe")
  T.eq(O:LaunchOrvaneSetup(setup, "/S  /D=C:\\x y"), true, "setup program started")
  T.same(status(), T.list(0, 0), "setup status")
  local record = M.record(setup)
  T.truthy(record, "the setup program ran")
  T.eq(record.rest, " /S  /D=C:\\x y", "parameters unchanged")
  T.eq(record.show, 1, "shown normally")

  T.eq(O:LaunchOrvaneSetup(setup, ""), true, "empty parameters")
  T.eq(M.record(setup).rest, "", "no parameters")

  post_status(5, 5)
  T.eq(O:LaunchOrvaneSetup(nil, {}), false, "a path with no text")
  T.same(status(), T.list(0, 0), "setup status")
end)

T.case("IsOrvaneRun is true only while another process holds the mutex, which keeps it", function()
  T.eq(O:IsOrvaneRun(), false, "before the client runs")
  local stop = M.args.work .. "/mutex-stop"
  os.remove(stop)
  local holder = T.popen(M.args.mutex_holder .. " hold " .. MUTEX .. " " .. stop)
  T.eq(holder:read("*l"), "ready", "holder started")
  T.eq(O:IsOrvaneRun(), true, "while held")
  T.eq(O:IsOrvaneRun(), true, "asked again")
  T.eq(M.run(M.args.mutex_holder, "probe", MUTEX), 0, "still held by the other process")
  M.write(stop, "")
  T.eq(holder:read("*l"), "owned", "the holder still owned it when it let go")
  holder:close()
  T.eq(O:IsOrvaneRun(), false, "after the client ended")
  T.eq(M.run(M.args.mutex_holder, "probe", MUTEX), 2, "no handle of ours keeps the mutex alive")
end)

T.case("GetDownloadPath puts the sub-path on the fixed drive with the most free space", function()
  local answer = O:GetDownloadPath()
  local drives, best = {}, 0
  local report = T.popen(M.args.drive_report)
  for line in report:lines() do
    local root, kind, free = line:match("^(%S+) (%d+) (%S+)$")
    if root then
      drives[root] = { fixed = kind == "3", free = tonumber(free) }
      if kind == "3" and tonumber(free) and tonumber(free) > best then best = tonumber(free) end
    end
  end
  report:close()
  if best == 0 then
    T.eq(answer, SUB_PATH, "no fixed drive with free space")
    return
  end
  local root = answer:sub(1, 3)
  T.eq(answer, root .. SUB_PATH, "root followed by the sub-path")
  local drive = drives[root]
  T.truthy(drive and drive.fixed, "the chosen root " .. root .. " is a fixed drive")
  -- Other processes write to the same disks meanwhile; a margin keeps that from deciding.
  T.truthy(drive.free and drive.free >= best - 256 * 1024 * 1024, "the chosen drive has the most free space")
end)

M.delete_key(VENDOR_KEY)
T.finish()
