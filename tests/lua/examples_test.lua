-- Runs one script of examples/ in this host exactly as a script writer would, and checks what it
-- printed against what its calls must have answered here. arg[1] is the example's path, the rest are
-- its own arguments.
local T = require("testlib")
local hex = T.hex
local be32 = T.be32
local item = T.item
local path = assert(arg[1], "the example's path is the first argument")
local name = assert(path:match("([^/\\]+)%.lua$"), "an example is a .lua file")

local function literal(text)
  return "^" .. text:gsub("[%^%$%(%)%%%.%[%]%*%+%-%?]", "%%%0") .. "$"
end

-- Lines each example must print, in this order (Lua patterns; other lines may come between them).
-- { anywhere = p } may come at any place; { one_of = { p, q } } is a line matching either.
-- Whether the client is installed or running is left out where other tests of the same Wine prefix
-- may change it.
local SUB_PATH = "Kestrin游戏\\ToluDownload\\"
local GAME_BODY = item("name") .. item("player1") .. item("type") .. item("pc")
local expected = {
  demo = {
    literal("Orvane.Object is a userdata"),
    '^QueryOrvaneSetupStatus%(%)%s+%-> "0", "0"$',
    -- The demo prints with %q, which doubles each backslash.
    '^GetDownloadPath%(%)%s+%-> "%a:' .. literal(("\\" .. SUB_PATH):gsub("\\", "\\\\")):sub(2, -2) .. '"$',
    '^a call without its receiver%s+%-> "%-1", "nil"$',
    -- The loopback peers answer as the services would, from what they received; the answers come in
    -- the order their exchanges end.
    { anywhere = literal("GetTipsId callback                 -> T-123-7") },
    { anywhere = literal("GetActiveGame callback             -> Harbor Kings, Tolu Racing (player1, pc)") },
    literal("2 of 2 callbacks answered"),
    literal("why calls failed, as DebugView shows it:"),
    -- Whether the tray's window is there (LimitModeManualChanged) depends on the prefix's other tests.
    literal("  Orvane: SyncHttpRequest: empty_url"),
    literal("  Orvane: QueryOrvaneSetupStatus: no_receiver"),
  },
  client = {
    literal("installed: false"),
    literal("running: false"),
    "^downloads go to: %a:" .. literal("\\" .. SUB_PATH):sub(2),
    literal("setup reported 100, 7"),
  },
  services = {
    -- The loopback peers answer an ordinary request with the hex of the bytes they received.
    literal("tip id: " .. hex("request=tips&pid=1001&cid=7\0")),
    literal("reported the tip as shown"),
    -- The two answers come in the order their exchanges end, so this one may come before the tip.
    { anywhere = literal("active games: " .. hex(string.rep("\0", 8) .. be32(1) .. be32(#GAME_BODY) .. GAME_BODY)) },
    literal("0 answer(s) still outstanding"),
  },
  utilities = {
    literal("started a program that does not exist: false"),
    literal("started with an empty path: false"),
    -- Whether any window is in the foreground depends on the display and the Wine prefix.
    { one_of = { literal("no window is in the foreground"),
      literal("the focused window is in the foreground: true") } },
    literal("some other window is in the foreground: false"),
    literal("LogPrint answered 0 values"),
    literal("a server that answers at once, 5 s allowed: true"),
    literal("a server that takes 3 s, 300 ms allowed: false"),
    literal("an empty URL: false"),
    literal("RemoveLog answered 0 values"),
  },
  speed_limit = {
    literal("tray asks to limit: answering 1, 512"),
    literal("tray asks to restore: answering 1, 0"),
    literal("manual mode change posted: true"),
    literal("tray received 0x405 1 512"),
    literal("tray received 0x405 1 0"),
    literal("tray received 0x406 0 0"),
  },
}

-- The causes each example's calls write, in order, among those of the methods and messages named;
-- the services' come from their exchanges, at times of their own, and are their tests' business. The
-- demo takes and prints its own, so its printed lines above hold them.
local expected_causes = {
  utilities = { { "SyncHttpRequest", "ExecuteExternal", "IsWindowForeground", "LogPrint", "RemoveLog" },
    T.list("SyncHttpRequest: limit_passed", "SyncHttpRequest: empty_url") },
  speed_limit = { { "SetSpeedLimitHandler", "LimitModeManualChanged", "speed-limit request", "restore request",
    "reply notice", "manual notice", "ClearSpeedLimitHandler" }, T.list() },
}

-- The example runs with its own arguments and with print captured (and still shown).
-- luacheck: globals print arg
local printed = {}
local real_print = print
local example_arg = { [0] = path }
for i = 2, #arg do example_arg[i - 1] = arg[i] end
local test_arg = arg
print = function(...)
  local parts = {}
  for i = 1, select("#", ...) do parts[i] = tostring((select(i, ...))) end
  printed[#printed + 1] = table.concat(parts, "\t")
  real_print(...)
end
arg = example_arg
local ran, err = pcall(dofile, path)
arg = test_arg
print = real_print

T.case(name .. " runs to its end without an error", function()
  T.truthy(ran, "the example ran (" .. tostring(err) .. ")")
end)

T.case(name .. " prints what the add-in answered, in order", function()
  local lines = assert(expected[name], "no expectations for example " .. name)
  local at = 1
  for _, pattern in ipairs(lines) do
    local found = false
    local alternatives = { pattern }
    if type(pattern) == "table" and pattern.anywhere then
      pattern = pattern.anywhere
      alternatives = { pattern }
      for _, line in ipairs(printed) do found = found or line:match(pattern) ~= nil end
    elseif type(pattern) == "table" then
      alternatives = pattern.one_of
      pattern = table.concat(alternatives, " or ")
    end
    while at <= #printed and not found do
      for _, alternative in ipairs(alternatives) do found = found or printed[at]:match(alternative) ~= nil end
      at = at + 1
    end
    T.truthy(found, "a line matching " .. pattern)
  end
end)

if expected_causes[name] then
  T.case(name .. " writes the causes of its failed calls, and only those", function()
    local operations, causes = unpack(expected_causes[name])
    T.same(T.causes(unpack(operations)), causes, "causes")
  end)
end

if name == "services" then
  T.case("the tip-shown report carries the example's values in the service's order", function()
    local function last_report()
      local answer
      Orvane.Object:GetTipsId("@find:request=popped", "", function(text) answer = text end)
      T.truthy(T.wait_for(function() return answer ~= nil end, 5000), "the peer answered")
      return answer
    end
    -- The report waits its turn in the add-in's queue of tasks, so a question asked after it may
    -- reach the peer first.
    local report
    T.wait_for(function()
      report = last_report()
      return report ~= "none"
    end)
    local tipid = hex("request=tips&pid=1001&cid=7\0")
    T.eq(report, hex("request=popped&pid=1001&tipid=" .. tipid .. "&cid=7&sign=sig-1001\0"), "report")
  end)
end

if name == "utilities" then
  T.case("the example's GETs reached the server, the late one before the server answered it", function()
    -- A GET that never left would answer true too, if it failed quickly; only the server can tell.
    local log = T.read(assert(os.getenv("ORVANE_HTTP_LOG"), "ORVANE_HTTP_LOG names the server's log")) or ""
    local lines = {}
    for line in log:gmatch("[^\n]+") do lines[line] = true end
    T.truthy(lines["answered /now"], "the quick GET was answered")
    T.truthy(lines["request /delay/3000"], "the slow GET reached the server")
    T.eq(lines["answered /delay/3000"], nil, "the slow GET was still waiting for its answer")
  end)
end

T.finish()
