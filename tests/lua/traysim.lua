-- Runs orvane-tray-sim.exe beside the test and reads what it logged. The simulator runs in the
-- background: the test keeps serving its window messages (the add-in's window lives on this thread)
-- while it polls the simulator's log file, so a send from the simulator never waits on a test that
-- is blocked reading. Every run is bounded by the simulator's own deadline.
local T = require("testlib")

local S = {}
local Sim = {}
Sim.__index = Sim

local runs = 0

local function windows_path(path)
  return (path:gsub("/", "\\"))
end

local function quote(text)
  return '"' .. text .. '"'
end

local function read_lines(path)
  local file = io.open(path, "r")
  if not file then return {} end
  local lines = {}
  for line in file:lines() do lines[#lines + 1] = line end
  file:close()
  return lines
end

-- Starts the simulator: exe is its path, args its options and steps (strings or numbers).
function S.start(exe, args)
  runs = runs + 1
  local base = string.format("%s\\orvane-tray-%d-%d", os.getenv("TEMP"), os.time(), runs)
  local sim = setmetatable({ log = base .. ".log", stop_file = base .. ".stop" }, Sim)
  os.remove(sim.log)
  os.remove(sim.stop_file)
  local words = { quote(windows_path(exe)), "--log", quote(sim.log), "--stop-file", quote(sim.stop_file),
    "--deadline", tostring(T.scaled(20000)) }
  for _, arg in ipairs(args) do words[#words + 1] = quote(tostring(arg)) end
  -- cmd /c drops the outermost pair of quotes, hence the extra pair around the whole line.
  sim.pipe = T.popen(quote(table.concat(words, " ")), "r")
  return sim
end

function Sim:lines()
  return read_lines(self.log)
end

-- True once a logged line starts with prefix.
function Sim:logged(prefix)
  for _, line in ipairs(self:lines()) do
    if line:sub(1, #prefix) == prefix then return true end
  end
  return false
end

-- Serves messages until the simulator logged a line starting with prefix.
function Sim:wait_for(prefix, ms)
  T.truthy(T.wait_for(function() return self:logged(prefix) end, ms or 10000),
    "the simulator logged " .. prefix)
end

-- Ends a "listen" step early.
function Sim:stop()
  local file = assert(io.open(self.stop_file, "w"))
  file:close()
end

-- Serves messages until the simulator is done; returns its exit status and the messages its window
-- received, in order, as { message, wParam, lParam }.
function Sim:finish()
  self:wait_for("done", 25000)
  self.pipe:close()
  local status, received = nil, {}
  for _, line in ipairs(self:lines()) do
    local message, w, l = line:match("^recv 0x(%x+) (%d+) (%-?%d+)$")
    if message then
      received[#received + 1] = { tonumber(message, 16), tonumber(w), tonumber(l) }
    end
    status = tonumber(line:match("^done (%d+)$")) or status
  end
  os.remove(self.log)
  os.remove(self.stop_file)
  return status, received
end

-- Runs the simulator to its end while serving messages.
function S.run(exe, args)
  return S.start(exe, args):finish()
end

-- Renders received messages for comparison: "0x405 5 7; 0x406 0 0".
function S.describe(received)
  local parts = {}
  for _, m in ipairs(received) do
    parts[#parts + 1] = string.format("0x%X %s %s", m[1], tostring(m[2]), tostring(m[3]))
  end
  return table.concat(parts, "; ")
end

return S
