-- ARGV: id, requeue (1 or 0). Returns 1 when the message was present.
local seq = ARGV[1]
if ARGV[2] == '0' then
  if not remove(seq) then return 0 end
  redis.call('HINCRBY', META, 'dead_total', 1)
  return 1
end
if redis.call('HEXISTS', BODIES, seq) == 0 then return 0 end
-- A message that is ready already is requeued all the same, and counted.
redis.call('ZREM', LEASES, seq)
redis.call('ZADD', ready_key_of(seq), seq, seq)
redis.call('HINCRBY', META, 'requeued_total', 1)
wake(1)
return 1
