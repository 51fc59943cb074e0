-- ARGV: the bodies. Returns the id of the first; the others follow it.
local n = #ARGV
local first = counter('next_seq')
-- Written this way round so that no sum passes 2**53 and rounds.
if n - 1 > MAX_EXACT - first then
  return redis.error_reply('ERR no ids left: ids above 2**53-1 cannot be kept exact')
end
local now = now_ms()
local size = 0
for i = 1, n, CHUNK do
  local bodies, times, ready = {}, {}, {}
  for j = i, math.min(i + CHUNK - 1, n) do
    local seq = first + j - 1
    bodies[#bodies + 1] = seq
    bodies[#bodies + 1] = ARGV[j]
    times[#times + 1] = seq
    times[#times + 1] = now
    ready[#ready + 1] = seq
    ready[#ready + 1] = seq
    size = size + #ARGV[j]
  end
  redis.call('HSET', BODIES, unpack(bodies))
  redis.call('HSET', TIMES, unpack(times))
  redis.call('ZADD', READY, unpack(ready))
end
count_enqueued(n, size)
return first
