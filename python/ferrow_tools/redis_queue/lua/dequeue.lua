-- ARGV: max, lease_ms. Returns seq, body, deliveries, enqueued_ts_ms for each
-- message leased, in id order, all under one deadline.
local now = now_ms()
reclaim(now)
local n = math.min(tonumber(ARGV[1]), redis.call('ZCARD', READY))
if n == 0 then return {} end
local deadline = deadline_after(now, ARGV[2])
local popped = redis.call('ZPOPMIN', READY, n)
local out = {}
for i = 1, #popped, 2 do
  local seq = popped[i]
  redis.call('ZADD', LEASES, deadline, seq)
  out[#out + 1] = tonumber(seq)
  out[#out + 1] = redis.call('HGET', BODIES, seq)
  out[#out + 1] = redis.call('HINCRBY', DELIVERIES, seq, 1)
  out[#out + 1] = tonumber(redis.call('HGET', TIMES, seq))
end
return out
