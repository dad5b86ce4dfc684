-- Shared helpers for the Lua tests run by orvane-host. A test file calls T.case for each group of
-- checks and T.finish() at the end, which prints "N passed, M failed" and sets the exit status.
local T = {}
local passed, failed = 0, 0

local function describe(v)
  if type(v) == "string" then return string.format("%q", v) end
  return tostring(v)
end

local function fail(message, level)
  error({ orvane_check = true, message = message }, level + 1)
end

function T.eq(actual, expected, what)
  if actual ~= expected then
    fail(string.format("%s: expected %s, got %s", what or "value", describe(expected), describe(actual)), 2)
  end
end

function T.truthy(value, what)
  if not value then fail((what or "condition") .. " does not hold", 2) end
end

-- Packs values with their count, nils included: T.list(-1, nil).n == 2.
function T.list(...)
  return { n = select("#", ...), ... }
end

-- Calls f once and packs what it answered.
function T.call(f, ...)
  return T.list(f(...))
end

-- Compares two packed lists, count included.
function T.same(actual, expected, what)
  local prefix = what and (what .. ": ") or ""
  if actual.n ~= expected.n then
    fail(string.format("%sexpected %d values, got %d", prefix, expected.n, actual.n), 2)
  end
  for i = 1, expected.n do
    if actual[i] ~= expected[i] then
      fail(string.format("%svalue %d: expected %s, got %s", prefix, i, describe(expected[i]), describe(actual[i])), 2)
    end
  end
end

-- ORVANE_TIME_SCALE (a whole number, 1 when unset) stretches the tests' waits and the bounds they put
-- on how long something may take, where programs run several times slower than those were sized for
-- (the i686 guest under emulation). The add-in's own limits are what the tests check: never stretched.
T.time_scale = math.max(1, math.floor(tonumber(os.getenv("ORVANE_TIME_SCALE") or "") or 1))
function T.scaled(ms)
  return ms * T.time_scale
end

-- A text no earlier run of a script has used, for what a peer counts: the peers live as long as the
-- test, and a host that Wine ended with a platform fault runs the script once more against them
-- (scripts/wine-run).
T.run_mark = string.format("run%d-%.0f", os.time(), host.clock())

-- Pumps the window messages of this thread until cond() holds or ms (stretched) pass; true when it held.
function T.wait_for(cond, ms)
  local deadline = host.clock() + T.scaled(ms or 5000)
  while not cond() do
    if host.clock() >= deadline then return false end
    host.pump(20)
  end
  return true
end

-- A whole file, or nil when it cannot be opened.
function T.read(path)
  local f = io.open(path, "rb")
  if not f then return nil end
  local data = f:read("*a")
  f:close()
  return data
end

-- The service peers answer with the hex of what they received, and the wire carries big-endian
-- 32-bit lengths in front of each item.
function T.hex(s)
  return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

function T.be32(n)
  return string.char(math.floor(n / 16777216) % 256, math.floor(n / 65536) % 256, math.floor(n / 256) % 256, n % 256)
end

function T.item(text)
  return T.be32(#text) .. text
end

-- The causes the add-in wrote since the last call (host.debug_output()), oldest first, each as
-- "Operation: cause" or "Operation: cause (code)", packed like T.list. Given operations, only theirs:
-- the others are dropped, for causes that come at a time of their own (a worker's, a callback's).
function T.causes(...)
  local only = {}
  for i = 1, select("#", ...) do only[select(i, ...)] = true end
  local causes = { n = 0 }
  for _, line in ipairs(host.debug_output()) do
    local cause = line:match("^Orvane: (.*)$")
    if cause and (select("#", ...) == 0 or only[cause:match("^(.-):")]) then
      causes.n = causes.n + 1
      causes[causes.n] = cause
    end
  end
  return causes
end

-- Live registry references: luaL_ref's slots hold their values, free slots hold numbers.
function T.live_refs()
  local n = 0
  for k, v in pairs(debug.getregistry()) do
    if type(k) == "number" and k > 0 and type(v) ~= "number" then n = n + 1 end
  end
  return n
end

-- io.popen under Wine now and then fails to start the command on a loaded machine ("Invalid
-- argument"); a second try a moment later goes through.
function T.popen(command, mode)
  for _ = 1, 4 do
    local pipe = io.popen(command, mode or "r")
    if pipe then return pipe end
    host.pump(250)
  end
  error("could not start: " .. command, 2)
end

function T.case(name, f)
  local ok, err = pcall(f)
  if ok then
    passed = passed + 1
  else
    failed = failed + 1
    local message = type(err) == "table" and err.message or tostring(err)
    io.write("FAIL ", name, ": ", message, "\n")
  end
  io.flush()
end

function T.failures()
  return failed
end

-- Checks that exactly these causes were written since the last look, in any order.
function T.caused(expected, what)
  local actual = T.causes()
  table.sort(actual)
  local sorted = {}
  for i, cause in ipairs(expected) do sorted[i] = cause end
  table.sort(sorted)
  T.eq(table.concat(actual, ", "), table.concat(sorted, ", "), (what or "causes") .. " written")
end

function T.finish()
  io.write(string.format("%d passed, %d failed\n", passed, failed))
  io.flush()
  host.exit(failed > 0 and 1 or 0)
end

return T
