-- ARGV: level, delay_ms, ttl_ms (-1: none), then the bodies. Puts scheduled
-- messages: a delayed one waits in DUE until its due time, any other joins
-- its level's ready set. Returns the id of the first; the others follow it.
local level, delay, ttl = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
local n = #ARGV - 3
local first = counter('next_seq')
-- Written this way round so that no sum passes 2**53 and rounds.
if n - 1 > MAX_EXACT - first then
  return redis.error_reply('ERR no ids left: ids above 2**53-1 cannot be kept exact')
end
local now = now_ms()
-- The clock reads whole milliseconds, rounded down: one more keeps the due
-- time from falling a fraction of one before put + delay.
local due = deadline_after(now + 1, delay)
if level + 1 > levels_used() then redis.call('HSET', META, 'levels', level + 1) end
local size = 0
for i = 1, n do
  local seq = first + i - 1
  local body = ARGV[3 + i]
  redis.call('HSET', BODIES, seq, body)
  redis.call('HSET', TIMES, seq, now)
  redis.call('HSET', LEVELS, seq, level)
  if ttl >= 0 then redis.call('HSET', EXPIRES, seq, deadline_after(now, ttl)) end
  if delay > 0 then
    redis.call('ZADD', DUE, due, seq)
    redis.call('HSET', DUES, seq, due)
  else
    redis.call('ZADD', level_key(level), seq, seq)
  end
  size = size + #body
end
count_enqueued(n, size)
return first
