-- The stand-in host's checking mode: every call of a method of Orvane.Object is held against the
-- annotations file that the editor reads too, and a call that does not fit gets one warning on stderr
-- with the calling script's file and line. The call itself goes on unchanged: the add-in answers a
-- malformed call as the host's contract says, and the check only makes the slip visible.
--
-- The host runs this chunk with the annotations' path and the class's method table; it replaces each
-- method by a checking wrapper and returns the list of warnings given so far (for tests).
local annotations_path, methods = ...

local warnings = {}

-- ---- reading the annotations -----------------------------------------------------------------------

local function read_all(path)
  local file = io.open(path, "rb")
  if not file then return nil end
  local text = file:read("*a")
  file:close()
  return text
end

-- Each parameter's kind: "text" (string or number), "number", "handle" (light user data), "function";
-- with may_be_nil when the type admits nil.
local function kind_of(type_text, aliases)
  local t = type_text:gsub("%s", "")
  local may_be_nil = t:find("nil", 1, true) ~= nil or t:sub(-1) == "?"
  local resolved = aliases[t:gsub("%?$", "")] or t
  local kind
  if resolved:find("fun%(") then
    kind = "function"
  elseif resolved:find("lightuserdata", 1, true) then
    kind = "handle"
  elseif resolved:find("string", 1, true) then
    kind = "text"
  elseif resolved:find("integer", 1, true) or resolved:find("number", 1, true) then
    kind = "number"
  else
    kind = "any"
  end
  return { kind = kind, may_be_nil = may_be_nil }
end

local function read_signatures(text)
  local aliases, signatures, params = {}, {}, {}
  for line in (text .. "\n"):gmatch("([^\n]*)\n") do
    local alias, definition = line:match("^%-%-%-@alias%s+([%w%._]+)%s+(.+)$")
    if alias then aliases[alias] = definition end
    local name, type_text = line:match("^%-%-%-@param%s+([%w_]+%??)%s+(%S+)")
    if name then params[#params + 1] = { name = name:gsub("%?$", ""), type = type_text } end
    local method = line:match("^function%s+[%w_]+:([%w_]+)%s*%(")
    if method then
      signatures[method] = params
      params = {}
    elseif not line:match("^%-%-%-") then
      params = {}
    end
  end
  for _, list in pairs(signatures) do
    for _, p in ipairs(list) do
      local k = kind_of(p.type, aliases)
      p.kind, p.may_be_nil = k.kind, k.may_be_nil
    end
  end
  return signatures
end

-- ---- checking calls --------------------------------------------------------------------------------

local function fits(value, p)
  local t = type(value)
  if value == nil then return p.may_be_nil end
  if p.kind == "text" then return t == "string" or t == "number" end
  if p.kind == "number" then return t == "number" or (t == "string" and tonumber(value) ~= nil) end
  if p.kind == "handle" then return t == "userdata" end
  if p.kind == "function" then return t == "function" end
  return true
end

local expected_names = { text = "a text", number = "a number", handle = "a window handle (light user data)",
  ["function"] = "a function" }

-- Called by the wrapper itself: level 2 is the wrapper, 3 whoever called the method.
local function caller()
  local info = debug.getinfo(3, "Sl")
  if not info then return "?" end
  local source = info.source:sub(1, 1) == "@" and info.source:sub(2) or info.short_src
  return string.format("%s:%d", source, info.currentline or 0)
end

local function warn(at, method, problem)
  local line = string.format("orvane-host: check: %s: %s: %s", at, method, problem)
  warnings[#warnings + 1] = line
  io.stderr:write(line, "\n")
  io.stderr:flush()
end

local function signature_text(params)
  local names = {}
  for _, p in ipairs(params) do names[#names + 1] = p.name end
  return "(" .. table.concat(names, ", ") .. ")"
end

local function checked(name, original, params, object_of)
  return function(...)
    local n = select("#", ...)
    local receiver = ...
    local at = caller()
    local ok, err = pcall(function(...)
      if receiver ~= object_of() then
        -- The add-in takes any user data for its object; anything else is a call with a dot.
        if type(receiver) == "userdata" then return end
        warn(at, name, "called without the object: write Orvane.Object:" .. name .. "(...), with a colon")
        return
      end
      if n - 1 ~= #params then
        -- The add-in reads the arguments from the end, so their kinds mean nothing any more.
        warn(at, name, string.format("takes %d argument%s %s, given %d", #params, #params == 1 and "" or "s",
          signature_text(params), n - 1))
        return
      end
      for i, p in ipairs(params) do
        local value = select(i + 1, ...)
        if not fits(value, p) then
          warn(at, name, string.format("%s should be %s, is %s", p.name, expected_names[p.kind] or p.kind,
            type(value)))
        end
      end
    end, ...)
    if not ok then io.stderr:write("orvane-host: check failed: ", tostring(err), "\n") end
    return original(...)
  end
end

-- ---- wrapping the class ------------------------------------------------------------------------------

local text = read_all(annotations_path)
if not text then
  io.stderr:write("orvane-host: check: cannot read ", annotations_path, "; calls are not checked\n")
  return warnings
end
local signatures = read_signatures(text)
-- The object is read lazily: reading Orvane.Object here would build it before the script runs.
local function object_of()
  return rawget(_G, "Orvane") and Orvane.Object
end
for name, original in pairs(methods) do
  local params = signatures[name]
  if type(original) == "function" and params then
    methods[name] = checked(name, original, params, object_of)
  elseif type(original) == "function" then
    io.stderr:write("orvane-host: check: ", name, " is not in ", annotations_path, "\n")
  end
end
return warnings
