-- ARGV: id, lease_ms. Returns 1 when the message is in flight (a lapsed lease
-- not yet reclaimed still is) and now has the new deadline; 0 hands it back.
local seq = ARGV[1]
if not redis.call('ZSCORE', LEASES, seq) then return 0 end
if tonumber(ARGV[2]) == 0 then
  redis.call('ZREM', LEASES, seq)
  redis.call('ZADD', ready_key_of(seq), seq, seq)
  redis.call('HINCRBY', META, 'requeued_total', 1)
  wake(1)
  return 1
end
redis.call('ZADD', LEASES, 'XX', deadline_after(now_ms(), ARGV[2]), seq)
return 1
