-- A host that calls Startup twice: the object is published again, the same native object serves it,
-- and the environment is taken and given back once per start-up; one that calls it from a second
-- thread as well.
local T = require("testlib")

T.case("both start-ups published the object and released the environment", function()
  local gets, releases = host.env_stats()
  T.eq(gets, 2, "environment references taken")
  T.eq(releases, 2, "environment references released")
  T.eq(type(Orvane.Object), "userdata", "Orvane.Object")
  T.same(T.call(Orvane.Object.QueryOrvaneSetupStatus, Orvane.Object), T.list(0, 0))
end)

-- The class is apartment-threaded, so a host may start it again from another thread. The window, the
-- handler and every callback stay with the thread that started it first.
T.case("a Startup from another thread answers S_OK, publishes nothing and leaves the add-in to this thread",
  function()
    local O = Orvane.Object
    T.causes()
    local gets, releases = host.env_stats()
    T.same(T.call(host.startup, true), T.list(0), "its answer")
    T.same(T.list(host.env_stats()), T.list(gets, releases), "environment references taken and released")
    T.same(T.causes(), T.list("Startup: not_script_thread"), "causes")
    T.truthy(host.addin_window(), "this thread's window is there")
    local codes = {}
    T.eq(O:SetSpeedLimitHandler(function(code) codes[#codes + 1] = code end), true, "handler stored")
    T.eq(host.call_export("Test", true), 0, "Test")
    T.eq(table.concat(codes, ","), "2", "handler calls, on this thread")
    -- Whatever answers the port, or nothing, the callback comes here.
    local answered = false
    O:GetActiveGame("n", "t", function() answered = true end)
    T.truthy(T.wait_for(function() return answered end, 10000), "the callback came")
    O:ClearSpeedLimitHandler()
  end)

T.finish()
