---@meta host
-- Type annotations of the `host` table that the stand-in host, orvane-host.exe, gives its scripts,
-- for the Lua language server (LuaLS). The real host application has no such table: a script meant
-- for it uses the host's own message loop and timers instead. host/README.md is the full reference.

---The stand-in host's functions. `host.pump` plays the host application's message loop, which is
---where the add-in's callbacks, handler calls and setup reports run.
---@class StandInHost
local Host = {}

---Serves this thread's window messages for up to `ms` milliseconds, or until `host.stop()` when `ms`
---is left out. Each return clears the stop request.
---@param ms? number
---@return boolean stopped true when host.stop() (or WM_QUIT) ended it, false when the time ran out
function Host.pump(ms) end

---Ends the running pump, or makes the next one return at once.
function Host.stop() end

---Flushes stdout and stderr and ends the process with `code` (default 0) without releasing the add-in;
---usable from inside callbacks.
---@param code? integer
function Host.exit(code) end

---Sleeps without serving messages: callbacks and tray messages wait.
---@param ms number
function Host.sleep(ms) end

---Monotonic milliseconds (fractional), for measuring intervals.
---@return number
function Host.clock() end

---How many environment references the runtime handed out (VemoLRT_GetEnv) and took back
---(VemoLRT_ReleaseEnv).
---@return integer gets
---@return integer releases
function Host.env_stats() end

---The add-in module's path as loaded, or as registered when COM loaded it.
---@return string
function Host.addin_path() end

---The HRESULT of the last Startup call as a number.
---@return number? hresult nil when Startup was not called
function Host.startup_result() end

---Calls the add-in's Startup once more: on this thread, or with `on_thread` on a thread of its own
---while this thread serves messages, for up to 10 s.
---@param on_thread? boolean
---@return number? hresult what Startup answered; nil when the object was released or the time ran out
---@return string? problem why there is no answer
function Host.startup(on_thread) end

---Releases the host's reference to the add-in object now.
---@return integer? count what Release answered; nil when it was released already
function Host.release_addin() end

---Unloads the add-in as a host that is done with it would: releases the object, destroys the
---add-in's message windows on this thread (unless `keep_windows`) and frees the module. A started
---add-in stays mapped all the same.
---@param keep_windows? boolean leave the windows to the add-in, as a host that knows nothing of them does
---@return boolean? freed whether FreeLibrary succeeded; nil when COM loaded the add-in or it was freed already
function Host.free_addin(keep_windows) end

---Destroys the add-in's message windows of this thread, without WM_CLOSE, as `free_addin` does.
---@return integer destroyed how many there were
function Host.destroy_addin_windows() end

---Sends WM_CLOSE to the add-in's message windows of this thread, as a host that stops every callback does.
---@return integer closed how many there were
function Host.close_addin_windows() end

---Only with the add-in built with its fault points, for the failure-path tests: the `n`th call of
---that kind from now on fails (`0` disarms).
---@param kind string
---@param n integer
function Host.arm_fault(kind, n) end

---Only with the add-in built with its fault points: how many points of the armed kind were reached
---since it was armed.
---@return integer
function Host.faults_reached() end

---Whether the add-in module the host loaded is still mapped.
---@return boolean
function Host.addin_loaded() end

---A visible top-level window of the host's, activated when `foreground`.
---@param foreground? boolean
---@return lightuserdata? window its handle; nil when no window can be made
---@return integer? error the system's error code when no window was made
function Host.create_window(foreground) end

---The current foreground window (GetForegroundWindow).
---@return lightuserdata? window nil when no window is in the foreground, as without a display
function Host.foreground_window() end

---Working set, peak working set and private bytes (the commit charge) of this process.
---@return number bytes
---@return number peak_bytes
---@return number private_bytes
function Host.memory() end

---How many handles this process holds.
---@return integer
function Host.handles() end

---Whether a window of the add-in's class exists in this process.
---@return boolean
function Host.addin_window() end

---The checking mode's warnings so far, one line each; nil when the host runs without it.
---@return string[]?
function Host.check_warnings() end

---The lines written with OutputDebugString since the last call, oldest first, as DebugView shows
---them on Windows: the add-in writes one line for every failure, and nothing when a call works.
---@return string[]
function Host.debug_output() end

---A light userdata holding the address `n`, for arguments that take a handle.
---@param n number
---@return lightuserdata
function Host.lightuserdata(n) end

---Calls the add-in's export `name` as `int WINAPI name(void)`. With `on_thread` it runs on a thread
---of its own while this thread serves messages, for up to 10 s.
---@param name string
---@param on_thread? boolean
---@return integer? answer the export's answer; nil when there is none or the time ran out
---@return string? problem why there is no answer ("timeout" after 10 s)
function Host.call_export(name, on_thread) end

---Defined by orvane-host.exe only. Loading this file leaves it as it is.
---@type StandInHost
host = host

return Host
