-- Shared by every script of a queue; the Python side prepends it.
-- Every script gets the same keys, all with the queue's hash tag, so that
-- each call is one atomic script on one node, also on a cluster.
local META, READY, LEASES, BODIES, DELIVERIES, TIMES, WAKE =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6], KEYS[7]
-- Messages put with a delay, a ttl or a priority (scheduled ones): DUE holds
-- the delayed ones by due time until they come due, LEVELS the level of each
-- scheduled message, EXPIRES the expiry of those put with a ttl, DUES the
-- due time of the delayed ones (how long a message has been ready counts
-- from it). A ready scheduled message of level L waits in the sorted set
-- PREFIX .. 'ready:' .. L, by id; plain messages stay in READY alone. These
-- keys share the queue's hash tag but are not passed in KEYS: a call of a
-- plain queue sends no more key names than it did before they existed.
local PREFIX = string.sub(META, 1, #META - #'meta')
local DUE, LEVELS, EXPIRES, DUES = PREFIX .. 'due', PREFIX .. 'levels', PREFIX .. 'expires',
  PREFIX .. 'dues'

-- A message counts as many bytes as its enqueue record in a local queue log
-- (frame and record header, then the body), so that live_bytes agrees.
local RECORD_OVERHEAD = 33
-- Scores and script numbers are doubles: above this, ids and deadlines would
-- no longer be exact.
local MAX_EXACT = 9007199254740991
-- Tokens kept in the wake list for waiters that have not arrived yet. One
-- waiter needs one; the cap bounds the wake-ups nobody asked for.
local MAX_WAKE_TOKENS = 64
-- Arguments are unpacked into commands in chunks below Lua's stack limit.
local CHUNK = 1000

-- The server's clock, shared by every client of the queue.
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end

local function deadline_after(now, lease_ms)
  local deadline = now + tonumber(lease_ms)
  if deadline > MAX_EXACT then deadline = MAX_EXACT end
  return deadline
end

local function wake(n)
  if n <= 0 then return end
  if n > MAX_WAKE_TOKENS then n = MAX_WAKE_TOKENS end
  local tokens = {}
  for i = 1, n do tokens[i] = '1' end
  redis.call('RPUSH', WAKE, unpack(tokens))
  redis.call('LTRIM', WAKE, -MAX_WAKE_TOKENS, -1)
end

local function level_key(level)
  return PREFIX .. 'ready:' .. level
end

-- The ready set a message goes back to: its level's for a scheduled one.
local function ready_key_of(seq)
  local level = redis.call('HGET', LEVELS, seq)
  if level then return level_key(level) end
  return READY
end

local function make_ready(members)
  -- A queue without scheduled messages pays for one HLEN here.
  local scheduled = redis.call('HLEN', LEVELS) > 0
  for i = 1, #members, CHUNK do
    local by_key = {}
    local last = math.min(i + CHUNK - 1, #members)
    local levels = {}
    if scheduled then levels = redis.call('HMGET', LEVELS, unpack(members, i, last)) end
    for j = i, last do
      local level = levels[j - i + 1]
      local key = READY
      if level then key = level_key(level) end
      local pairs_ = by_key[key]
      if not pairs_ then pairs_ = {}; by_key[key] = pairs_ end
      pairs_[#pairs_ + 1] = members[j]
      pairs_[#pairs_ + 1] = members[j]
    end
    for key, pairs_ in pairs(by_key) do
      redis.call('ZADD', key, unpack(pairs_))
    end
  end
end

-- Delayed messages whose due time has come join their level's ready set.
local function promote(now)
  local due = redis.call('ZRANGEBYSCORE', DUE, '-inf', now)
  if #due == 0 then return 0 end
  redis.call('ZREMRANGEBYSCORE', DUE, '-inf', now)
  make_ready(due)
  wake(#due)
  return #due
end

-- Forgets what a scheduled message has beyond a plain one.
local function forget_scheduled(seqs)
  if redis.call('HLEN', LEVELS) == 0 then return end
  local levels = redis.call('HMGET', LEVELS, unpack(seqs))
  for i = 1, #seqs do
    if levels[i] then redis.call('ZREM', level_key(levels[i]), seqs[i]) end
  end
  redis.call('HDEL', LEVELS, unpack(seqs))
  redis.call('HDEL', EXPIRES, unpack(seqs))
  redis.call('HDEL', DUES, unpack(seqs))
  redis.call('ZREM', DUE, unpack(seqs))
end

-- The number of levels any put has used (their ready sets exist).
local function levels_used()
  return tonumber(redis.call('HGET', META, 'levels') or '0')
end

local function ready_count()
  local n = redis.call('ZCARD', READY)
  for level = 0, levels_used() - 1 do
    n = n + redis.call('ZCARD', level_key(level))
  end
  return n
end

-- Leases whose deadline has come go back to the ready set, where their ids
-- put them before every newer message. A deadline equal to now has lapsed.
local function reclaim(now)
  local lapsed = redis.call('ZRANGEBYSCORE', LEASES, '-inf', now)
  if #lapsed == 0 then return 0 end
  redis.call('ZREMRANGEBYSCORE', LEASES, '-inf', now)
  make_ready(lapsed)
  redis.call('HINCRBY', META, 'requeued_total', #lapsed)
  wake(#lapsed)
  return #lapsed
end

-- Removes a present message; false when there is none with this id.
local function remove(seq)
  local size = redis.call('HSTRLEN', BODIES, seq)
  if redis.call('HDEL', BODIES, seq) == 0 then return false end
  forget_scheduled({seq})
  redis.call('HDEL', DELIVERIES, seq)
  redis.call('HDEL', TIMES, seq)
  redis.call('ZREM', READY, seq)
  redis.call('ZREM', LEASES, seq)
  redis.call('HINCRBY', META, 'live_bytes', -(size + RECORD_OVERHEAD))
  return true
end

local function counter(name)
  return tonumber(redis.call('HGET', META, name) or '0')
end

-- Counts n new messages of `size` body bytes in all and wakes waiters.
local function count_enqueued(n, size)
  redis.call('HINCRBY', META, 'next_seq', n)
  redis.call('HINCRBY', META, 'enqueued_total', n)
  redis.call('HINCRBY', META, 'live_bytes', size + n * RECORD_OVERHEAD)
  wake(n)
end

-- Leases up to n plain messages, the smallest ids first, all under one
-- deadline; appends seq, body, deliveries, enqueued_ts_ms of each to `out`,
-- followed by level 0, expires -1, expired 0, due 0 when `wide` (the
-- replies of take.lua).
local function lease_plain(n, deadline, out, wide)
  n = math.min(n, redis.call('ZCARD', READY))
  if n == 0 then return out end
  local popped = redis.call('ZPOPMIN', READY, n)
  for i = 1, #popped, 2 * CHUNK do
    local ids, leases = {}, {}
    for j = i, math.min(i + 2 * CHUNK - 1, #popped), 2 do
      ids[#ids + 1] = popped[j]
      leases[#leases + 1] = deadline
      leases[#leases + 1] = popped[j]
    end
    redis.call('ZADD', LEASES, unpack(leases))
    local bodies = redis.call('HMGET', BODIES, unpack(ids))
    local times = redis.call('HMGET', TIMES, unpack(ids))
    for k = 1, #ids do
      out[#out + 1] = tonumber(ids[k])
      out[#out + 1] = bodies[k]
      out[#out + 1] = redis.call('HINCRBY', DELIVERIES, ids[k], 1)
      out[#out + 1] = tonumber(times[k])
      if wide then
        out[#out + 1] = 0
        out[#out + 1] = -1
        out[#out + 1] = 0
        out[#out + 1] = 0
      end
    end
  end
  return out
end
