-- Run by the registration tests in the stand-in host without --addin, after the module has been
-- registered from a folder of its own: arg[1] is the registered server path.
local T = require("testlib")

T.case("the host created the add-in through its registered class", function()
  T.eq(host.addin_path(), arg[1], "module the host used")
end)

T.case("the registered add-in started and published its object", function()
  T.eq(host.startup_result(), 0, "Startup result")
  T.eq(type(Orvane.Object), "userdata", "Orvane.Object")
end)

T.finish()
