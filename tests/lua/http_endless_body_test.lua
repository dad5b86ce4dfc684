-- SyncHttpRequest against a server that sends a long body without a length: the body is read and dropped as
-- it comes, so the host's memory stays where it was however much arrives.
local T = require("testlib")
local M = require("machine")
local O = Orvane.Object
local MiB = 1024 * 1024

local function streamed(target)
  local text = M.read(M.args.log) or ""
  return tonumber(text:match("\nstreamed " .. target:gsub("%p", "%%%0") .. " (%d+)\n") or
    ("\n" .. text):match("\nstreamed " .. target:gsub("%p", "%%%0") .. " (%d+)\n"))
end

T.case("a body of 256 MiB is read whole and costs no memory", function()
  local base = "http://127.0.0.1:" .. M.args.port
  -- WinINet and its threads settle in on a first, ordinary request.
  T.eq(O:SyncHttpRequest(base .. "/now/warm-up", 10000), true, "warm-up request")
  local target = "/stream/0/" .. 256 * MiB
  local _, peak_before = host.memory()
  -- The limit only bounds the wait for 256 MiB, which a slow machine takes longer to read.
  T.eq(O:SyncHttpRequest(base .. target, T.scaled(90000)), true, "the streamed request ended within its limit")
  local _, peak_after = host.memory()
  T.truthy(T.wait_for(function() return streamed(target) ~= nil end, 5000), "the peer logged the stream")
  local bytes = streamed(target)
  io.write(string.format("streamed %.0f MiB; peak working set %.1f -> %.1f MiB\n", bytes / MiB,
    peak_before / MiB, peak_after / MiB))
  T.eq(bytes, 256 * MiB, "bytes the peer sent")
  T.truthy(peak_after - peak_before < 16 * MiB, "the peak working set grew by less than 16 MiB")
  T.same(T.causes(), T.list(), "causes")
end)

T.finish()
