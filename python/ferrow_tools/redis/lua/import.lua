-- ARGV: body, enqueued_ts_ms, deliveries for each message moved in from
-- another queue. They get the next ids and are ready, keeping their enqueue
-- times and delivery counts. Returns the first id.
local n = #ARGV / 3
local first = counter('next_seq')
-- Written this way round so that no sum passes 2**53 and rounds.
if n - 1 > MAX_EXACT - first then
  return redis.error_reply('ERR no ids left: ids above 2**53-1 cannot be kept exact')
end
local size = 0
for i = 0, n - 1 do
  local seq = first + i
  local body = ARGV[3 * i + 1]
  redis.call('HSET', BODIES, seq, body)
  redis.call('HSET', TIMES, seq, ARGV[3 * i + 2])
  if tonumber(ARGV[3 * i + 3]) > 0 then redis.call('HSET', DELIVERIES, seq, ARGV[3 * i + 3]) end
  redis.call('ZADD', READY, seq, seq)
  size = size + #body
end
count_enqueued(n, size)
return first
