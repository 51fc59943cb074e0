-- ARGV: ids. Returns how many were present (each counted once).
local seen, present, size = {}, {}, 0
for i = 1, #ARGV do
  local seq = ARGV[i]
  if not seen[seq] and redis.call('HEXISTS', BODIES, seq) == 1 then
    present[#present + 1] = seq
    size = size + redis.call('HSTRLEN', BODIES, seq) + RECORD_OVERHEAD
  end
  seen[seq] = true
end
for i = 1, #present, CHUNK do
  local ids = {unpack(present, i, math.min(i + CHUNK - 1, #present))}
  redis.call('HDEL', BODIES, unpack(ids))
  redis.call('HDEL', DELIVERIES, unpack(ids))
  redis.call('HDEL', TIMES, unpack(ids))
  redis.call('ZREM', READY, unpack(ids))
  redis.call('ZREM', LEASES, unpack(ids))
  forget_scheduled(ids)
end
if #present > 0 then
  redis.call('HINCRBY', META, 'acked_total', #present)
  redis.call('HINCRBY', META, 'live_bytes', -size)
end
return #present
