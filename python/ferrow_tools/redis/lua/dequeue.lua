-- ARGV: max, lease_ms. Returns seq, body, deliveries, enqueued_ts_ms for each
-- message leased, in id order, all under one deadline.
local now = now_ms()
reclaim(now)
return lease_plain(tonumber(ARGV[1]), deadline_after(now, ARGV[2]), {}, false)
