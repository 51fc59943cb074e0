-- ARGV: max, lease_ms. Returns seq, body, deliveries, enqueued_ts_ms for each
-- message leased, in id order, all under one deadline.
local now = now_ms()
reclaim(now)
local n = math.min(tonumber(ARGV[1]), redis.call('ZCARD', READY))
if n == 0 then return {} end
local deadline = deadline_after(now, ARGV[2])
local popped = redis.call('ZPOPMIN', READY, n)
local out = {}
for i = 1, #popped, 2 * CHUNK do
  local ids, leases = {}, {}
  for j = i, math.min(i + 2 * CHUNK - 1, #popped), 2 do
    ids[#ids + 1] = popped[j]
    leases[#leases + 1] = deadline
    leases[#leases + 1] = popped[j]
  end
  redis.call('ZADD', LEASES, unpack(leases))
  local bodies = redis.call('HMGET', BODIES, unpack(ids))
  local times = redis.call('HMGET', TIMES, unpack(ids))
  for k = 1, #ids do
    out[#out + 1] = tonumber(ids[k])
    out[#out + 1] = bodies[k]
    out[#out + 1] = redis.call('HINCRBY', DELIVERIES, ids[k], 1)
    out[#out + 1] = tonumber(times[k])
  end
end
return out
