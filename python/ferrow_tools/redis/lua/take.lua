-- ARGV: max, lease_ms, expired_to_dead (1/0), then levels in the order to
-- look at them. Leases up to max messages, the smallest id of a level first;
-- at level 0 the plain ready set and the level's own set are one, by id.
-- An expired message is dropped (dead_total and expired_total count it), or
-- with expired_to_dead leased and returned flagged, for the caller to move
-- to the dead letters. Returns how many levels were looked at, then for each
-- message: seq, body, deliveries, enqueued_ts_ms, level, expires (-1: none),
-- expired (1/0), due (0: none).
local now = now_ms()
reclaim(now)
local max_count, to_dead = tonumber(ARGV[1]), ARGV[3] == '1'
local deadline = deadline_after(now, ARGV[2])

-- A queue that never had a scheduled message has plain ones alone: leased
-- as dequeue.lua leases them, without looking at anything else (every level
-- asked for was looked at, and found empty but for level 0).
if levels_used() == 0 then return lease_plain(max_count, deadline, {#ARGV - 3}, true) end
promote(now)

local function pop(level)
  local key = level_key(level)
  if level == 0 then
    local plain = redis.call('ZRANGE', READY, 0, 0)
    local own = redis.call('ZRANGE', key, 0, 0)
    if #plain > 0 and (#own == 0 or tonumber(plain[1]) < tonumber(own[1])) then
      redis.call('ZREM', READY, plain[1])
      return plain[1]
    end
    if #own == 0 then return nil end
    redis.call('ZREM', key, own[1])
    return own[1]
  end
  local popped = redis.call('ZPOPMIN', key)
  if #popped == 0 then return nil end
  return popped[1]
end

local out = {0}
local delivered = 0
for i = 4, #ARGV do
  out[1] = i - 3
  local level = tonumber(ARGV[i])
  while delivered < max_count do
    local seq = pop(level)
    if not seq then break end
    local expires = redis.call('HGET', EXPIRES, seq)
    local expired = expires and tonumber(expires) <= now
    if expired and not to_dead then
      remove(seq)
      redis.call('HINCRBY', META, 'dead_total', 1)
      redis.call('HINCRBY', META, 'expired_total', 1)
    else
      redis.call('ZADD', LEASES, deadline, seq)
      local deliveries
      if expired then
        deliveries = tonumber(redis.call('HGET', DELIVERIES, seq) or '0')
      else
        deliveries = redis.call('HINCRBY', DELIVERIES, seq, 1)
        delivered = delivered + 1
      end
      out[#out + 1] = tonumber(seq)
      out[#out + 1] = redis.call('HGET', BODIES, seq)
      out[#out + 1] = deliveries
      out[#out + 1] = tonumber(redis.call('HGET', TIMES, seq))
      out[#out + 1] = level
      out[#out + 1] = tonumber(expires or '-1')
      out[#out + 1] = expired and 1 or 0
      out[#out + 1] = tonumber(redis.call('HGET', DUES, seq) or '0')
    end
  end
  if delivered >= max_count then break end
end
return out
