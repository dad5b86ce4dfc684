-- One run of the add-in as the host application drives it, built for the architecture under test:
-- every method of Orvane.Object with its receiver and without one, the two network callbacks from the
-- loopback peers (tests/peers/service_peers.py --tips --game), and the setup program's status and the
-- export Test arriving from a second process (tests/tools/addin_caller.cpp).
--   stage.lua CALLER READY_FILE DONE_FILE
-- CALLER is the addin_caller program, which the script starts once it is ready to be called, or "-"
-- when the runner has started it already; it waits for READY_FILE and reports into DONE_FILE.
local T = require("testlib")
local hex = T.hex
-- Each case is announced before it runs: where a process dies outright, the last line says in which
-- case.
local runCase = T.case
function T.case(name, f)
  io.write("case: ", name, "\n")
  io.flush()
  runCase(name, f)
end
local caller, readyFile, doneFile = arg[1], arg[2], arg[3]
assert(caller and readyFile and doneFile, "usage: stage.lua CALLER|- READY_FILE DONE_FILE")
-- A caller this script starts gets files of this run's own: one started by a run that Wine ended
-- with a platform fault may still be there (scripts/wine-run runs the script once more).
if caller ~= "-" then
  readyFile = readyFile .. "." .. T.run_mark
  doneFile = doneFile .. "." .. T.run_mark
end

-- A second process may take a while to start on a loaded machine.
local SECOND_PROCESS_MS = 120000

local LOG_FOLDER = "C:\\JOTTLE\\"
local KEEP = LOG_FOLDER .. "keep.txt"
local function logFile(tag) return LOG_FOLDER .. "JOTTLE.Kestrin[1]." .. tag .. ".log" end

local function exists(path)
  local f = io.open(path, "r")
  if f then f:close() end
  return f ~= nil
end

local function write(path)
  local f = io.open(path, "w")
  if not f then return false end
  f:write("x")
  f:close()
  return true
end

-- The host's log folder holds a log and a file of its own before the object is first read: building
-- the object removes the log and keeps the folder. Created here only where the runner did not.
if not write(KEEP) then
  os.execute('mkdir "' .. LOG_FOLDER .. '"')
  assert(write(KEEP), "cannot prepare " .. LOG_FOLDER)
end
assert(write(logFile("before")))

local O = Orvane.Object

local methods = {
  "GetTipsId", "GetActiveGame", "IsOrvaneRun", "IsOrvaneSetup", "LaunchOrvaneSetup", "LaunchOrvane",
  "QueryOrvaneSetupStatus", "GetDownloadPath", "SetSpeedLimitHandler", "ClearSpeedLimitHandler",
  "LimitModeManualChanged", "LogPrint", "ExecuteExternal", "SyncHttpRequest", "IsWindowForeground",
  "RecordTipsShow", "RemoveLog",
}

-- The second process: reports a setup status once this script is ready, then calls the export Test.
local speedLimitCodes = {}
local callerPipe
os.remove(readyFile)
os.remove(doneFile)

-- The second process's one line, once it has written it.
local function callerLine()
  local data = T.read(doneFile)
  return data and data:match("^[^\r\n]+")
end

T.case("Startup answered S_OK and published the object with its seventeen methods", function()
  T.eq(host.startup_result(), 0, "Startup's HRESULT")
  T.eq(type(O), "userdata", "type of Orvane.Object")
  for _, name in ipairs(methods) do T.eq(type(O[name]), "function", name) end
  T.eq(O.NotAMethod, nil, "a name outside the table")
end)

T.case("building the object removed the host's log and kept the folder's other file", function()
  T.truthy(not exists(logFile("before")), "the log is gone")
  T.truthy(exists(KEEP), "the other file stays")
end)

-- What each method answers without a receiver; the argument count comes first.
local failure = {
  GetTipsId = { 3, n = 0 }, GetActiveGame = { 3, n = 0 }, IsOrvaneRun = { 0, false, n = 1 },
  IsOrvaneSetup = { 0, false, n = 1 }, LaunchOrvaneSetup = { 2, false, n = 1 },
  LaunchOrvane = { 4, false, n = 1 }, QueryOrvaneSetupStatus = { 0, -1, nil, n = 2 },
  GetDownloadPath = { 0, "", n = 1 }, SetSpeedLimitHandler = { 1, false, n = 1 },
  ClearSpeedLimitHandler = { 0, false, n = 1 }, LimitModeManualChanged = { 0, false, n = 1 },
  LogPrint = { 1, n = 0 }, ExecuteExternal = { 2, false, n = 1 }, SyncHttpRequest = { 2, false, n = 1 },
  IsWindowForeground = { 1, false, n = 1 }, RecordTipsShow = { 4, n = 0 }, RemoveLog = { 0, n = 0 },
}

local strayCallbacks = 0
local function stray() strayCallbacks = strayCallbacks + 1 end

T.case("every method answers its failure values with a receiver that is not user data", function()
  assert(write(logFile("kept")))
  for _, name in ipairs(methods) do
    local shape = failure[name]
    local expected = { n = shape.n }
    for i = 1, shape.n do expected[i] = shape[i + 1] end
    for _, receiver in ipairs({ "text", 42, true, {} }) do
      local args = {}
      for i = 1, shape[1] do args[i] = "no-receiver" end
      -- Function arguments come last; a real function proves the receiver alone decides.
      if name == "GetTipsId" or name == "GetActiveGame" or name == "SetSpeedLimitHandler" then
        args[shape[1]] = stray
      end
      T.same(T.call(O[name], receiver, unpack(args, 1, shape[1])), expected, name .. " with " .. tostring(receiver))
    end
  end
  T.same(T.call(O.IsOrvaneRun), T.list(false), "no values at all")
  T.same(T.call(O.QueryOrvaneSetupStatus), T.list(-1, nil), "no values at all")
  T.truthy(exists(logFile("kept")), "RemoveLog without a receiver leaves the log")
end)

-- What each method answers with its receiver on a machine where the game client is absent. Calls that
-- would start a program are given an empty path, which the shell refuses.
local SUB_PATH = "Kestrin\230\184\184\230\136\143\\ToluDownload\\"

T.case("every method answers with its receiver", function()
  local cases = {
    { "IsOrvaneRun", {}, T.list(false) },
    { "IsOrvaneSetup", {}, T.list(false) },
    { "LaunchOrvane", { "user", "key", "1", "" }, T.list(false) },
    { "LaunchOrvaneSetup", { "", "" }, T.list(false) },
    { "QueryOrvaneSetupStatus", {}, T.list(0, 0) },
    { "LimitModeManualChanged", {}, T.list(false) },
    { "LogPrint", { "a line for the log" }, T.list() },
    { "ExecuteExternal", { "", "" }, T.list(false) },
    { "SyncHttpRequest", { "", 1000 }, T.list(false) },
    { "IsWindowForeground", { O }, T.list(false) },
  }
  for _, c in ipairs(cases) do
    T.same(T.call(O[c[1]], O, unpack(c[2], 1, #c[2])), c[3], c[1])
  end
  local path = T.call(O.GetDownloadPath, O)
  T.eq(path.n, 1, "GetDownloadPath answer count")
  T.eq(type(path[1]), "string", "GetDownloadPath answer")
  -- The drive depends on the machine, the folder under it does not.
  T.eq(path[1]:sub(-#SUB_PATH), SUB_PATH, "the download folder's tail")
end)

T.case("a handler is stored with the receiver and the second process is told to go ahead", function()
  T.same(T.call(O.SetSpeedLimitHandler, O, function(code)
    speedLimitCodes[#speedLimitCodes + 1] = code
    return 7, 8
  end), T.list(true))
  T.truthy(write(readyFile), "the ready file is written")
  if caller ~= "-" then
    -- cmd strips the outer quotes of a command line, so the whole line is quoted once more.
    callerPipe = T.popen('""' .. caller .. '" "' .. host.addin_path() .. '" "' .. readyFile .. '" "' .. doneFile
      .. '" 0xFFFFFFFF -57"')
    T.truthy(callerPipe, "the second process started")
  end
end)

local tips, game = {}, {}

T.case("the tips and game-platform services call back once each with their peers' answers", function()
  T.same(T.call(O.GetTipsId, O, "i686", "stage", function(...)
    tips[#tips + 1] = T.list(...)
  end), T.list())
  T.same(T.call(O.GetActiveGame, O, "@answer", "stage", function(...)
    game[#game + 1] = T.list(...)
  end), T.list())
  T.truthy(T.wait_for(function() return #tips > 0 and #game > 0 end, 30000), "both callbacks")
  host.pump(300)
  T.eq(#tips, 1, "tips callbacks")
  T.eq(#game, 1, "game-platform callbacks")
  T.same(tips[1], T.list(hex("request=tips&pid=i686&cid=stage\0")), "the tips peer's echo of the datagram")
  T.same(game[1], T.list("123"), "the games item of the peer's reply")
  T.eq(strayCallbacks, 0, "callbacks of calls without a receiver")
end)

local function peer(query)
  local got
  O:GetTipsId(query, "", function(text) got = text end)
  T.truthy(T.wait_for(function() return got ~= nil end, 30000), "the peer answered " .. query)
  return got
end

T.case("the tip-shown report goes out with the receiver and not without", function()
  T.same(T.call(O.RecordTipsShow, O, "t32", "p32", "c32", "s32"), T.list())
  -- The report waits its turn in the add-in's queue of tasks, so a question asked after it may reach
  -- the peer first. Once it has arrived, so has any report made before it.
  local report
  T.wait_for(function()
    report = peer("@find:tipid=t32&")
    return report ~= "none"
  end)
  T.eq(report, hex("request=popped&pid=p32&tipid=t32&cid=c32&sign=s32\0"), "the report")
  T.eq(peer("@count:no-receiver"), "0", "datagrams of the calls without a receiver")
end)

T.case("the second process's setup status and its call of Test reach the script", function()
  T.truthy(T.wait_for(function() return callerLine() ~= nil end, SECOND_PROCESS_MS), "the second process finished")
  if callerPipe then callerPipe:close() end
  T.eq(callerLine(), "test returned 0", "the second process's report")
  T.same(T.call(O.QueryOrvaneSetupStatus, O), T.list(-1, -57), "status sent as 0xFFFFFFFF and -57")
  T.eq(table.concat(speedLimitCodes, ","), "2", "codes the handler was called with")
end)

T.case("RemoveLog with the receiver removes the logs, and the folder once nothing else is in it", function()
  T.truthy(exists(logFile("kept")), "a log to remove")
  T.same(T.call(O.RemoveLog, O), T.list())
  T.truthy(not exists(logFile("kept")), "the log is gone")
  T.truthy(exists(KEEP), "the other file stays")
  os.remove(KEEP)
  assert(write(logFile("last")))
  O:RemoveLog()
  T.truthy(not write(KEEP), "the folder is gone")
end)

T.case("the handler is cleared with the receiver, and the environment was released once", function()
  T.same(T.call(O.ClearSpeedLimitHandler, O), T.list(true))
  local gets, releases = host.env_stats()
  T.eq(gets, 1, "environment references taken")
  T.eq(releases, 1, "environment references released")
end)

T.finish()
