---@meta orvane
-- Type annotations of Orvane.Object for the Lua language server (LuaLS). Add the folder that holds
-- this file to the setting `Lua.workspace.library`; the add-in publishes the object itself, so scripts
-- never load this file. docs/scripting.md is the full reference.
--
-- Every method is called with method syntax, `Orvane.Object:Name(...)`. None raises a Lua error:
-- a malformed call answers the method's failure values. Texts are UTF-8 strings, cut at their first
-- zero byte; a number given for a text is taken in its text form, nil or a boolean as the empty text.

---Called exactly once per started request, later, on the script thread, with the service's answer:
---the empty text after any failure. Its return values are ignored.
---@alias Orvane.ResultCallback fun(text: string)

---What the tray program asks for; the script and the tray program agree on what the answers mean.
---@alias Orvane.SpeedLimitCode
---| 0 # restore (message 0x404): the two results are posted back to the tray window as 0x405
---| 1 # limit (message 0x403): the two results are posted back to the tray window as 0x405
---| 2 # reply (message 0x405, also the add-in's `Test` export): results ignored
---| 3 # manual (message 0x406): the user changed the mode in the tray program; results ignored

---Called on the script thread for every speed-limit message; for codes 1 and 0 its first two results
---travel to the tray program as 32-bit integers (results that are not numbers count as 0).
---@alias Orvane.SpeedLimitHandler fun(code: Orvane.SpeedLimitCode): integer?, integer?

---The add-in's script object, class "Orvane.Class".
---@class Orvane.Class
local Class = {}

---Asks the tips service (UDP port 6667) for a tips id. Returns at once; the callback gets the reply
---datagram up to its first zero byte, or the empty text when no reply came within 10 s. Nothing is
---started, and no callback follows, when `callback` is not a function.
---@param pid string|number
---@param cid string|number
---@param callback Orvane.ResultCallback
function Class:GetTipsId(pid, cid, callback) end

---Asks the game-platform service (TCP port 13390) for the "games" value of a name and a type. Returns
---at once; the callback gets the value, or the empty text after any failure. The service is given no
---time limit: keep your own. No callback follows when `callback` is not a function.
---@param name string|number
---@param type string|number
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
---@param path string program to open
---@param parameters string its command line, passed unchanged (may be empty)
---@return boolean started the shell accepted the request
function Class:LaunchOrvaneSetup(path, parameters) end

---Starts the installed client with `/b_` switches for every non-empty value (the start-from tag
---defaults to "vemo7"). Values are passed verbatim, unquoted.
---@param userName string|number
---@param jumpKey string|number
---@param gameId string|number
---@param startFrom string|number
---@return boolean started the client's "Path" was found and the shell accepted the request
function Class:LaunchOrvane(userName, jumpKey, gameId, startFrom) end

---The two numbers the setup program last reported (message 0x702), or 0, 0 after a setup launch.
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

---Hands a line to the add-in's log, which this build discards.
---@param text string
function Class:LogPrint(text) end

---Runs a program or opens a document with its file type's default verb; does not wait for it.
---@param path string must not be empty
---@param parameters string passed unchanged (may be empty)
---@return boolean started the shell accepted the request
function Class:ExecuteExternal(path, parameters) end

---Sends an HTTP GET and blocks the script thread until it ends or the time limit passes, serving no
---window messages meanwhile (callbacks and tray messages wait). Whether the server answered is not
---reported.
---@param url string must not be empty
---@param timeLimitMs integer milliseconds; -1 waits without limit, 0 only looks
---@return boolean finished the request ended within the time limit
function Class:SyncHttpRequest(url, timeLimitMs) end

---Whether the given window handle is the foreground window.
---@param window lightuserdata|nil anything else counts as the null handle
---@return boolean foreground
function Class:IsWindowForeground(window) end

---Reports to the tips service that a tip was shown (one datagram, no reply awaited). Not sent when
---the four values together exceed 986 bytes in the system's ANSI code page.
---@param tipid string|number
---@param pid string|number
---@param cid string|number
---@param sign string|number
function Class:RecordTipsShow(tipid, pid, cid, sign) end

---Deletes the host's log files "C:\JOTTLE\JOTTLE.Kestrin[*].*.log", then the folder if it is empty.
function Class:RemoveLog() end

---The table that holds the add-in's object.
---@class Orvane.Namespace
---@field Object Orvane.Class published by the add-in when the host starts it
Orvane = Orvane or {}

return Class
