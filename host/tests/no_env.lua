-- A host whose runtime has no default environment: run as
--   orvane-host.exe --no-env host/tests/no_env.lua
-- The add-in was started all the same and must have survived finding no environment; the script
-- runs in a separate state where nothing of the add-in's is visible.

assert(host.startup_result() ~= nil, "Startup was not called")
assert(Orvane == nil, "Orvane reached a state it was never registered in")
local gets, releases = host.env_stats()
assert(gets == 0 and releases == 0, string.format("env_stats gave %d, %d", gets, releases))
assert(string.format("%d", 7) == "7" and type(os.time()) == "number", "standard libraries")
print("no_env: ok")
