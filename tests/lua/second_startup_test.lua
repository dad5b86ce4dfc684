-- A host that calls Startup twice: the object is published again, the same native object serves it,
-- and the environment is taken and given back once per start-up.
local T = require("testlib")

T.case("both start-ups published the object and released the environment", function()
  local gets, releases = host.env_stats()
  T.eq(gets, 2, "environment references taken")
  T.eq(releases, 2, "environment references released")
  T.eq(type(Orvane.Object), "userdata", "Orvane.Object")
  T.same(T.call(Orvane.Object.QueryOrvaneSetupStatus, Orvane.Object), T.list(0, 0))
end)

T.finish()
