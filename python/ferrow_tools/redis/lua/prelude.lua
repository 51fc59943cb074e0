-- Shared by every script of a queue; the Python side prepends it.
-- Every script gets the same keys, all with the queue's hash tag, so that
-- each call is one atomic script on one node, also on a cluster.
local META, READY, LEASES, BODIES, DELIVERIES, TIMES, WAKE =
  KEYS[1], KEYS[2], KEYS[3], KEYS[4], KEYS[5], KEYS[6], KEYS[7]

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

local function make_ready(members)
  for i = 1, #members, CHUNK do
    local pairs_ = {}
    for j = i, math.min(i + CHUNK - 1, #members) do
      pairs_[#pairs_ + 1] = members[j]
      pairs_[#pairs_ + 1] = members[j]
    end
    redis.call('ZADD', READY, unpack(pairs_))
  end
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
