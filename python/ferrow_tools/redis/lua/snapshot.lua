-- ARGV: first id, how many, body prefix length. Every present message from
-- the first id on, in id order, without leasing or changing anything:
-- seq, deadline (-1 when ready), deliveries, enqueued_ts_ms, body length,
-- body prefix (the whole body when the length is negative). Leased ids are few next to ready ones, so all are read.
local first, count, prefix = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
local ids = redis.call('ZRANGEBYSCORE', READY, first, '+inf', 'LIMIT', 0, count)
local leased = redis.call('ZRANGE', LEASES, 0, -1, 'WITHSCORES')
local deadline = {}
for i = 1, #leased, 2 do
  if tonumber(leased[i]) >= first then
    ids[#ids + 1] = leased[i]
    deadline[leased[i]] = leased[i + 1]
  end
end
table.sort(ids, function(a, b) return tonumber(a) < tonumber(b) end)
local out = {}
for i = 1, math.min(count, #ids) do
  local seq = ids[i]
  local size = redis.call('HSTRLEN', BODIES, seq)
  out[#out + 1] = tonumber(seq)
  out[#out + 1] = tonumber(deadline[seq] or '-1')
  out[#out + 1] = tonumber(redis.call('HGET', DELIVERIES, seq) or '0')
  out[#out + 1] = tonumber(redis.call('HGET', TIMES, seq))
  out[#out + 1] = size
  local body = redis.call('HGET', BODIES, seq)
  if prefix >= 0 then body = string.sub(body, 1, prefix) end
  out[#out + 1] = body
end
return out
