-- ARGV: body, enqueued_ts_ms, deliveries, level (-1: a plain message), due_ms
-- (0: not delayed), expires_ms (0: never) for each message moved in from
-- another queue. They get the next ids, keeping their enqueue times,
-- delivery counts, levels, due times and expiries; a message not delayed (or
-- due already) is ready. Returns the first id.
local n = #ARGV / 6
local first = counter('next_seq')
-- Written this way round so that no sum passes 2**53 and rounds.
if n - 1 > MAX_EXACT - first then
  return redis.error_reply('ERR no ids left: ids above 2**53-1 cannot be kept exact')
end
local size = 0
for i = 0, n - 1 do
  local seq = first + i
  local body = ARGV[6 * i + 1]
  local level, due, expires = tonumber(ARGV[6 * i + 4]), tonumber(ARGV[6 * i + 5]), tonumber(ARGV[6 * i + 6])
  redis.call('HSET', BODIES, seq, body)
  redis.call('HSET', TIMES, seq, ARGV[6 * i + 2])
  if tonumber(ARGV[6 * i + 3]) > 0 then redis.call('HSET', DELIVERIES, seq, ARGV[6 * i + 3]) end
  if level < 0 then
    redis.call('ZADD', READY, seq, seq)
  else
    if level + 1 > levels_used() then redis.call('HSET', META, 'levels', level + 1) end
    redis.call('HSET', LEVELS, seq, level)
    if expires > 0 then redis.call('HSET', EXPIRES, seq, expires) end
    if due > 0 then redis.call('HSET', DUES, seq, due) end
    if due > now_ms() then
      redis.call('ZADD', DUE, due, seq)
    else
      redis.call('ZADD', level_key(level), seq, seq)
    end
  end
  size = size + #body
end
count_enqueued(n, size)
return first
