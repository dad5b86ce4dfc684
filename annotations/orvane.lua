---@meta orvane
-- Type annotations of Orvane.Object for the Lua language server (LuaLS). Add the folder that holds
-- this file to the setting `Lua.workspace.library` (the `.luarc.json` at the top of the kit, and of
-- the source tree, does); the add-in publishes the object itself, so scripts never load this file.
-- docs/scripting.md is the full reference.
--
-- Every method is called with method syntax, `Orvane.Object:Name(...)`. None raises a Lua error:
-- a malformed call answers the method's failure values. Each failure, a callback's empty text
-- included, writes one line naming its cause for DebugView (OutputDebugStringW); docs/scripting.md,
-- "Debugging", lists the causes.

---A text argument: a UTF-8 string, taken up to its first zero byte ("ab\0cd" is "ab"). A number is
---taken in its Lua text form (42 is "42"). nil, booleans and tables count as the empty text; they
---never make a method fail.
---@alias Orvane.Text string|number

---Called exactly once per started request, later, on the script thread, with the service's answer up
---to its first zero byte, or the empty text after any failure (each method lists its causes, and the
---add-in writes the one it met for DebugView). Its return values are ignored; an error raised in it
---is the host runtime's to report (the stand-in host prints it on stderr), and the callback is
---released all the same.
---@alias Orvane.ResultCallback fun(text: string)

---What the tray program asks for; the script and the tray program agree on what the answers mean.
---@alias Orvane.SpeedLimitCode
---| 0 # restore (message 0x404): the two results are posted back to the tray window as 0x405
---| 1 # limit (message 0x403): the two results are posted back to the tray window as 0x405
---| 2 # reply (message 0x405, also the add-in's `Test` export): results ignored
---| 3 # manual (message 0x406): the user changed the mode in the tray program; results ignored

---One result of the speed-limit handler for codes 1 and 0: a number, or a text that reads as one
---("12"); any other value, or a result the handler did not return, counts as 0. Return whole numbers
---from -2147483648 to 2147483647: the host runtime's lua_tointeger makes a fraction whole (the 64-bit
---stand-in host cuts it toward zero, Lua built for 32-bit x86 rounds it to the nearest), and the value
---travels as 32 bits, so in the stand-in host a larger one wraps (4294967301 arrives as 5).
---@alias Orvane.HandlerResult number|string|nil

---Called on the script thread for every speed-limit message; for codes 1 and 0 its first two results
---travel to the tray program (the first as wParam, the second as lParam); further results are dropped.
---@alias Orvane.SpeedLimitHandler fun(code: Orvane.SpeedLimitCode): Orvane.HandlerResult, Orvane.HandlerResult

---The add-in's script object, class "Orvane.Class".
---@class Orvane.Class
local Class = {}

---Asks the tips service (UDP port 6667) for a tips id; pid and cid are sent as the script's bytes.
---Returns at once. The callback gets the reply datagram up to its first zero byte, or the empty text
---when no reply came within 10 s of the call, the reply was empty, longer than 1024 bytes or began
---with a zero byte, the service's host name did not resolve (then at once), or the request could not
---be started (the add-in's threads could not be made).
---Nothing is started, and no callback follows, when `callback` is not a function.
---@param pid Orvane.Text
---@param cid Orvane.Text
---@param callback Orvane.ResultCallback
function Class:GetTipsId(pid, cid, callback) end

---Asks the game-platform service (TCP port 13390) for the "games" value of a name and a type. Returns
---at once. The callback gets the item after the first item "games", up to its first zero byte, or the
---empty text when the connection fails (no server, a host name that does not resolve), the reply is
---cut short or malformed, has no "games" item or none complete after it, declares a body over
---16 MiB, would take the answers held at once past 256 MiB, the server stays silent for 5 minutes at
---one step (time without a byte, not the whole exchange), 5,000 requests are in flight already, or the
---request could not be started. Keep a shorter time limit of your own where you need one.
---No callback follows when `callback` is not a function.
---@param name Orvane.Text
---@param type Orvane.Text
---@param callback Orvane.ResultCallback
function Class:GetActiveGame(name, type, callback) end

---Whether the companion client is running (its named mutex exists and can be opened).
---@return boolean running false also for a malformed call
function Class:IsOrvaneRun() end

---Whether the companion client is installed (its registry value "InstDir" is a non-empty text).
---@return boolean installed false also for a malformed call
function Class:IsOrvaneSetup() end

---Starts the client's setup program through the shell ("open") and does not wait for it. Resets the
---setup status to 0, 0 first, whether or not the start succeeds.
---@param path Orvane.Text program to open
---@param parameters Orvane.Text its command line, passed unchanged (may be empty)
---@return boolean started the shell accepted the request
function Class:LaunchOrvaneSetup(path, parameters) end

---Starts the installed client with `/b_` switches for every non-empty value (the start-from tag
---defaults to "vemo7"). Values are passed verbatim, unquoted.
---@param userName Orvane.Text
---@param jumpKey Orvane.Text
---@param gameId Orvane.Text
---@param startFrom Orvane.Text
---@return boolean started the client's "Path" was found and the shell accepted the request
function Class:LaunchOrvane(userName, jumpKey, gameId, startFrom) end

---The two numbers the setup program last reported (message 0x702), or 0, 0 after a setup launch.
---0, 0 also means that no report came yet: a setup program that reports 0, 0 cannot be told apart.
---@return integer first -1 for a malformed call
---@return integer? second nil for a malformed call
function Class:QueryOrvaneSetupStatus() end

---The folder for game downloads: "Kestrin游戏\ToluDownload\" on the fixed drive with the most free
---space, e.g. "D:\Kestrin游戏\ToluDownload\"; the bare sub-path when no fixed drive has space. The
---folder is not created.
---@return string path "" for a malformed call
function Class:GetDownloadPath() end

---Stores the speed-limit handler, replacing an earlier one.
---@param handler Orvane.SpeedLimitHandler
---@return boolean stored false when `handler` is not a function (an earlier handler stays)
function Class:SetSpeedLimitHandler(handler) end

---Drops the speed-limit handler; the tray's requests are then answered 0, 0.
---@return boolean cleared true, also when no handler was stored
function Class:ClearSpeedLimitHandler() end

---Tells the tray program that the user changed the limit mode here (posts 0x406).
---@return boolean posted false when the tray window does not exist
function Class:LimitModeManualChanged() end

---Hands a line to the add-in's log, which discards it: the text goes to no file, console or debugger.
---@param text Orvane.Text
function Class:LogPrint(text) end

---Runs a program or opens a document with its file type's default verb, shown; does not wait for it.
---@param path Orvane.Text the empty text answers false without asking the shell
---@param parameters Orvane.Text passed unchanged (may be empty)
---@return boolean started the shell accepted the request
function Class:ExecuteExternal(path, parameters) end

---Sends an HTTP GET and blocks the script thread until it ends or the time limit passes, serving no
---window messages meanwhile (callbacks and tray messages wait). Whether the server answered is not
---reported: a request that fails quickly ends in time.
---@param url Orvane.Text the empty text answers false at once
---@param timeLimitMs integer milliseconds; -1 waits without limit, 0 only looks
---@return boolean finished the request ended within the time limit
function Class:SyncHttpRequest(url, timeLimitMs) end

---Whether the given window is the foreground window. Window handles come from the host application's
---own script interface, as light userdata; which of its functions gives one depends on the host. Any
---other value counts as the null handle, which is the foreground window only when no window is.
---@param window lightuserdata a window handle
---@return boolean foreground
function Class:IsWindowForeground(window) end

---Reports to the tips service that a tip was shown (one datagram, no reply awaited). The four values
---are converted to the system's ANSI code page, the sign too ("é" goes out as the byte E9 under code
---page 1252), whereas GetTipsId sends its pid as UTF-8. Not sent when the four values together exceed
---986 bytes after conversion.
---@param tipid Orvane.Text
---@param pid Orvane.Text
---@param cid Orvane.Text
---@param sign Orvane.Text
function Class:RecordTipsShow(tipid, pid, cid, sign) end

---Deletes the host's log files "C:\JOTTLE\JOTTLE.Kestrin[*].*.log", then the folder if it is empty.
function Class:RemoveLog() end

---The table that holds the add-in's object.
---@class Orvane.Namespace
---@field Object Orvane.Class published by the add-in when the host starts it
Orvane = Orvane or {}

return Class
