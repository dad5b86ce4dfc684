-- The host table's message loop and process control, as other tests rely on them: run as
--   orvane-host.exe host/tests/host_loop.lua
-- Must exit 0 and print "host_loop: ok" last; the line after host.exit must never run.

-- The bounds on how long a call may take are stretched by ORVANE_TIME_SCALE, as testlib's waits are.
local scale = math.max(1, math.floor(tonumber(os.getenv("ORVANE_TIME_SCALE") or "") or 1))

local function elapsed(f, ...)
    local start = host.clock()
    local result = f(...)
    return host.clock() - start, result
end

-- The clock is in milliseconds and does not go backwards.
local slept = elapsed(host.sleep, 120)
assert(slept >= 100 and slept < 2000 * scale, "sleep(120) took " .. slept .. " ms")

-- A pump with nothing to do runs out its time and says so.
local took, stopped = elapsed(host.pump, 150)
assert(stopped == false, "pump(150) claimed a stop")
assert(took >= 130 and took < 2000 * scale, "pump(150) took " .. took .. " ms")

-- A stop asked for before the pump makes it return at once, and only that once.
host.stop()
took, stopped = elapsed(host.pump, 5000)
assert(stopped == true and took < 1000 * scale, "a pending stop did not end the pump at once")
took, stopped = elapsed(host.pump, 50)
assert(stopped == false and took >= 40, "the stop request outlived the pump that served it")

took, stopped = elapsed(host.pump, 0)
assert(stopped == false and took < 1000 * scale, "pump(0)")

assert(type(host.addin_path()) == "string" and #host.addin_path() > 0, "addin_path")
assert(arg[0] ~= nil and arg[0]:find("host_loop.lua", 1, true), "arg[0] is the script")

io.write("host_loop: ok")  -- no newline: exit must flush it
host.exit(0)
error("host.exit returned")
