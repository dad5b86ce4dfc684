-- Helpers for the tests that drive Orvane.Object against real peers on the local machine: the
-- helper programs of the suite, the registry, files a started program leaves behind.
-- Scripts get their paths as key=value arguments: work (a folder of their own), recorder,
-- mutex_holder, registry_writer, window_poster, drive_report.
local T = require("testlib")
local M = {}

M.args = {}
for _, a in ipairs(arg) do
  local k, v = a:match("^([%w_]+)=(.*)$")
  if k then M.args[k] = v end
end

local function quote(v)
  v = tostring(v)
  if v == "" or v:find("[%s\"]") then return '"' .. v .. '"' end
  return v
end

-- Runs a helper program (its path must hold no blank) and answers its exit status.
function M.run(program, ...)
  assert(not program:find("%s"), "helper paths must not contain blanks: " .. program)
  local line = { program }
  for i = 1, select("#", ...) do line[#line + 1] = quote((select(i, ...))) end
  return os.execute(table.concat(line, " "))
end

M.read = T.read

function M.write(path, data)
  local f = assert(io.open(path, "wb"))
  f:write(data)
  f:close()
end

function M.exists(path)
  local f = io.open(path, "rb")
  if f then f:close() end
  return f ~= nil
end

-- A copy of the recorder under a name of its own, so no other test reads or writes its record.
function M.recorder(name)
  local path = M.args.work .. "/" .. name
  M.write(path, assert(M.read(M.args.recorder)))
  os.remove(path .. ".txt")
  return path
end

-- What the recorder at that path was last started with: the command line after the quoted program,
-- and the show command. Waits up to ms (20 s unless given) for it to appear, pumping messages: a
-- busy machine can take seconds to start a process.
function M.record(path, ms)
  local text
  local deadline = host.clock() + T.scaled(ms or 20000)
  repeat
    text = M.read(path .. ".txt")
    if text then break end
    host.pump(20)
  until host.clock() >= deadline
  if not text then return nil end
  os.remove(path .. ".txt")
  local line, show = text:match("^(.-)\n(%-?%d+)\n$")
  local program, rest = line:match('^"([^"]*)"(.*)$')
  return { line = line, program = program, rest = rest, show = tonumber(show) }
end

-- UTF-16LE bytes of an ASCII text, spelled in hex as registry_writer takes them.
function M.utf16(text)
  return (text:gsub(".", function(c) return string.format("%02x00", c:byte()) end))
end

M.REG_SZ, M.REG_EXPAND_SZ, M.REG_BINARY, M.REG_DWORD, M.REG_MULTI_SZ = 1, 2, 3, 4, 7

function M.set_value(key, name, type, hex)
  assert(M.run(M.args.registry_writer, "set", key, name, type, hex == "" and "-" or hex) == 0,
    "cannot write " .. key .. "\\" .. name)
end

function M.delete_key(key)
  assert(M.run(M.args.registry_writer, "delete", key) == 0, "cannot delete " .. key)
end

return M
