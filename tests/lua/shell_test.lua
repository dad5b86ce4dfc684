-- ExecuteExternal: any program or document through the shell, with the file type's own default verb
-- and SW_SHOW, unlike the client launches ("open", SW_SHOWNORMAL).
local T = require("testlib")
local M = require("machine")
local O = Orvane.Object

local SW_SHOW, SW_SHOWNORMAL = 5, 1
local CLASSES = "HKLM\\Software\\Classes\\"
local EXTENSION, PROG_ID = ".orvanetest", "OrvaneTest.Document"

T.case("ExecuteExternal refuses a path without text before asking the shell", function()
  T.eq(O:ExecuteExternal("", "x"), false, "empty path")
  T.eq(O:ExecuteExternal("\0tail", "x"), false, "path that ends at once")
  T.eq(O:ExecuteExternal(nil, "x"), false, "nil path")
  T.eq(O:ExecuteExternal({}, {}), false, "table arguments")
end)

T.case("ExecuteExternal starts a program with its parameters unchanged and SW_SHOW", function()
  local program = M.recorder("tool.exe")
  T.eq(O:ExecuteExternal(program, 'a  b "c d"'), true, "answer")
  local record = M.record(program)
  T.truthy(record, "the program ran")
  T.eq(record.program, program, "program")
  T.eq(record.rest, ' a  b "c d"', "parameters after the shell's one blank")
  T.eq(record.show, SW_SHOW, "show command")

  T.eq(O:ExecuteExternal(program, ""), true, "empty parameters")
  T.eq(M.record(program).rest, "", "no parameters")
  T.eq(O:ExecuteExternal(program, nil), true, "parameters with no text")
  T.eq(M.record(program).rest, "", "nil parameters read as empty")

  T.eq(O:ExecuteExternal(M.args.work .. "/no-such-tool.exe", ""), false, "missing program")
end)

local function sz(text) return M.utf16(text) .. "0000" end

T.case("ExecuteExternal uses the file type's default verb where the setup launch opens", function()
  -- A document type whose default verb is not "open"; each verb starts the recorder with its name.
  local handler = M.recorder("handler.exe"):gsub("/", "\\")
  M.set_value(CLASSES .. EXTENSION, "", M.REG_SZ, sz(PROG_ID))
  M.set_value(CLASSES .. PROG_ID .. "\\shell", "", M.REG_SZ, sz("inspect"))
  M.set_value(CLASSES .. PROG_ID .. "\\shell\\inspect\\command", "", M.REG_SZ, sz('"' .. handler .. '" inspect "%1"'))
  M.set_value(CLASSES .. PROG_ID .. "\\shell\\open\\command", "", M.REG_SZ, sz('"' .. handler .. '" open "%1"'))
  local document = M.args.work .. "/report" .. EXTENSION
  M.write(document, "")
  local handlerPath = M.args.work .. "/handler.exe"

  local ok, err = pcall(function()
    T.eq(O:ExecuteExternal(document, ""), true, "ExecuteExternal of the document")
    local record = M.record(handlerPath)
    T.truthy(record, "the document's handler ran")
    T.truthy(record.rest:match("^ inspect "), "default verb used, got " .. record.line)
    T.eq(record.show, SW_SHOW, "show command of ExecuteExternal")

    T.eq(O:LaunchOrvaneSetup(document, ""), true, "LaunchOrvaneSetup of the document")
    record = M.record(handlerPath)
    T.truthy(record, "the handler ran again")
    T.truthy(record.rest:match("^ open "), "verb open used, got " .. record.line)
    T.eq(record.show, SW_SHOWNORMAL, "show command of LaunchOrvaneSetup")
  end)
  M.delete_key(CLASSES .. EXTENSION)
  M.delete_key(CLASSES .. PROG_ID)
  if not ok then error(err, 0) end
end)

T.finish()
