-- What the add-in makes reachable once started: run as
--   orvane-host.exe host/tests/addin_object.lua        (and again with --startup-count 2)
-- Exits 0 and prints "addin_object: ok" when everything holds.

local hr = host.startup_result()
assert(hr ~= nil, "Startup was not called")
assert(hr < 0x80000000, string.format("Startup failed: 0x%08X", hr))

assert(type(Orvane) == "table", "Orvane is " .. type(Orvane))
local object = Orvane.Object
assert(type(object) == "userdata", "Orvane.Object is " .. type(object))
assert(Orvane.Object == object, "each read of Orvane.Object gives the same object")

-- Exactly two results, both 0, whether called through the field or a saved reference.
local function results(...) return select("#", ...), ... end
local n, first, second = results(Orvane.Object:QueryOrvaneSetupStatus())
assert(n == 2 and first == 0 and second == 0,
       string.format("QueryOrvaneSetupStatus gave %d value(s): %s, %s", n, tostring(first), tostring(second)))
n, first, second = results(object:QueryOrvaneSetupStatus())
assert(n == 2 and first == 0 and second == 0, "through a saved reference")

-- Methods are looked up by exact name only.
assert(type(object.QueryOrvaneSetupStatus) == "function")
assert(object.queryorvanesetupstatus == nil and object.QUERYORVANESETUPSTATUS == nil, "method names are exact")

-- The add-in took the environment to register and gave back no more than it took.
local gets, releases = host.env_stats()
assert(gets >= 1, "the add-in never got an environment")
assert(releases <= gets, string.format("released %d references of %d", releases, gets))

print("addin_object: ok")
