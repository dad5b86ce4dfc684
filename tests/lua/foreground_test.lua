-- IsWindowForeground compares a light user data handle with the foreground window of the moment.
-- Runs in a prefix with the headless display driver, where the host can own real top-level windows.
local T = require("testlib")
local O = Orvane.Object

T.case("only the foreground window's own handle answers true", function()
  local front = host.create_window(true)
  T.truthy(front, "a top-level window could be created")
  T.eq(host.foreground_window(), front, "the new window is in the foreground")
  T.eq(O:IsWindowForeground(front), true, "the foreground window")
  local behind = host.create_window(false)
  T.eq(host.foreground_window(), front, "a window shown without activation stays behind")
  T.eq(O:IsWindowForeground(behind), false, "a window behind it")
  T.eq(O:IsWindowForeground(front), true, "still the foreground window")

  local active = host.create_window(true)
  T.eq(O:IsWindowForeground(active), true, "the newly activated window")
  T.eq(O:IsWindowForeground(front), false, "the window it replaced")
end)

T.case("a value that is not user data counts as the null handle", function()
  host.create_window(true)
  T.truthy(host.foreground_window() ~= nil, "some window is in the foreground")
  for _, value in ipairs({ "text", 42, true, {}, print }) do
    T.eq(O:IsWindowForeground(value), false, type(value))
  end
  T.eq(O:IsWindowForeground(nil), false, "nil")
  T.eq(O:IsWindowForeground(io.stdout), false, "user data that is no window")
end)

T.finish()
