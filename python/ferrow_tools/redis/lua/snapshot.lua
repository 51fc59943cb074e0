-- ARGV: first id, how many, body prefix length. Every present message from
-- the first id on, in id order, without leasing or changing anything:
-- seq, deadline (-1 when not leased), deliveries, enqueued_ts_ms, body
-- length, body prefix (the whole body when the length is negative), level
-- (-1 for a plain message), expires (-1: none), due (0: not delayed).
-- Leased and delayed ids are few next to ready ones, so all are read.
local first, count, prefix = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
local ids = redis.call('ZRANGEBYSCORE', READY, first, '+inf', 'LIMIT', 0, count)
for level = 0, levels_used() - 1 do
  for _, seq in ipairs(redis.call('ZRANGEBYSCORE', level_key(level), first, '+inf', 'LIMIT', 0, count)) do
    ids[#ids + 1] = seq
  end
end
local deadline = {}
for _, key in ipairs({LEASES, DUE}) do
  local held = redis.call('ZRANGE', key, 0, -1, 'WITHSCORES')
  for i = 1, #held, 2 do
    if tonumber(held[i]) >= first then
      ids[#ids + 1] = held[i]
      if key == LEASES then deadline[held[i]] = held[i + 1] end
    end
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
  out[#out + 1] = tonumber(redis.call('HGET', LEVELS, seq) or '-1')
  out[#out + 1] = tonumber(redis.call('HGET', EXPIRES, seq) or '-1')
  out[#out + 1] = tonumber(redis.call('HGET', DUES, seq) or '0')
end
return out
