-- luacheck's settings for scripts run by the download manager or the stand-in host: Lua 5.1, whose
-- globals are the runtime's, plus the two objects the hosts publish. A script that assigns either
-- of them, or names a global nobody defines (a misspelt Orvane, a local forgotten), is reported.
std = "lua51"
read_globals = { "Orvane", "host" }
max_line_length = 120

-- The annotations declare what the hosts publish: they define both globals, and their functions
-- are stubs whose parameters exist to be documented.
files["annotations"] = { globals = { "Orvane", "host" }, unused_args = false }
