-- The host's log files in C:\JOTTLE\ are removed once when the object is first reached, and again on
-- RemoveLog. Runs in a Wine prefix of its own: every other test's first call clears the folder too.
local T = require("testlib")

local folder = "C:\\JOTTLE\\"

local function shell(command)
  return os.execute(command .. " >nul 2>nul") == 0
end

local function exists(path)
  return shell('if exist "' .. path .. '" (exit 0) else (exit 1)')
end

local function write(name)
  local f = assert(io.open(folder .. name, "w"))
  f:write("log line\n")
  f:close()
end

local function prepare(names, subfolders)
  shell('rmdir /s /q "' .. folder .. '"')
  shell('mkdir "' .. folder .. '"')
  for _, name in ipairs(names) do write(name) end
  for _, name in ipairs(subfolders or {}) do shell('mkdir "' .. folder .. name .. '"') end
end

-- Before anything reaches Orvane.Object, so that its construction is what removes them.
prepare({ "JOTTLE.Kestrin[2].main.log", "JOTTLE.Kestrin[1].x.log", "other.txt" })

T.case("the first reach of the object removes the logs once, before any RemoveLog", function()
  T.eq(type(Orvane.Object), "userdata", "Orvane.Object")
  T.truthy(not exists(folder .. "JOTTLE.Kestrin[2].main.log"), "first log removed")
  T.truthy(not exists(folder .. "JOTTLE.Kestrin[1].x.log"), "second log removed")
  T.truthy(exists(folder .. "other.txt"), "a file of another name stays")
  T.truthy(exists(folder), "a folder that is not empty stays")
  -- Reaching the object again does not construct it again.
  write("JOTTLE.Kestrin[3].again.log")
  T.eq(type(Orvane.Object.RemoveLog), "function", "method lookup")
  T.truthy(exists(folder .. "JOTTLE.Kestrin[3].again.log"), "no second removal without RemoveLog")
end)

local O = Orvane.Object

T.case("only matching files go, and the folder goes when nothing else is left", function()
  local cases = {
    { files = { "JOTTLE.Kestrin[7].a.log", "JOTTLE.Kestrin[].b.c.log" }, folderStays = false },
    { files = { "other.txt" }, keep = { "other.txt" }, folderStays = true },
    { files = { "JOTTLE.Kestrin[1].log.txt", "jottle.kestrin[1].x.log", "JOTTLE.Kestrin1].x.log" },
      keep = { "JOTTLE.Kestrin[1].log.txt", "JOTTLE.Kestrin1].x.log" }, folderStays = true },
    { files = { "JOTTLE.Kestrin[5].m.log" }, subfolders = { "JOTTLE.Kestrin[9].d.log" },
      keep = { "JOTTLE.Kestrin[9].d.log" }, folderStays = true },
  }
  for i, c in ipairs(cases) do
    prepare(c.files, c.subfolders)
    T.same(T.call(O.RemoveLog, O), T.list(), "RemoveLog answers nothing")
    for _, name in ipairs(c.keep or {}) do T.truthy(exists(folder .. name), "case " .. i .. " keeps " .. name) end
    T.eq(exists(folder), c.folderStays, "case " .. i .. ": folder stays")
  end
end)

T.case("a missing folder is left alone", function()
  shell('rmdir /s /q "' .. folder .. '"')
  T.same(T.call(O.RemoveLog, O), T.list())
  T.truthy(not exists(folder), "no folder appears")
end)

T.finish()
