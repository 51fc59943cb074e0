-- The figures of one queue, read without changing it (run with EVAL_RO, so
-- the server refuses any write). KEYS: the queue's keys in the order of
-- stats.lua. Lapsed leases count as ready, as stats() would count them after
-- handing them back. The oldest ready message is the one with the smallest
-- id among the ready and the lapsed: ids grow with enqueue time.
local META, READY, LEASES, DELIVERIES, TIMES = KEYS[1], KEYS[2], KEYS[3], KEYS[5], KEYS[6]
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local lapsed = redis.call('ZRANGEBYSCORE', LEASES, '-inf', now)
local ready = redis.call('ZCARD', READY) + #lapsed
local in_flight = redis.call('ZCARD', LEASES) - #lapsed
local oldest_id = nil
local first = redis.call('ZRANGE', READY, 0, 0)
if #first > 0 then oldest_id = tonumber(first[1]) end
for i = 1, #lapsed do
  local id = tonumber(lapsed[i])
  if oldest_id == nil or id < oldest_id then oldest_id = id end
end
local oldest = -1
if oldest_id ~= nil then
  oldest = tonumber(redis.call('HGET', TIMES, string.format('%d', oldest_id)) or '-1')
end
local memory = 0
for i = 1, #KEYS do
  memory = memory + (redis.call('MEMORY', 'USAGE', KEYS[i]) or 0)
end
local meta = redis.call('HMGET', META, 'enqueued_total', 'acked_total', 'requeued_total',
                        'dead_total', 'next_seq', 'live_bytes', 'generation')
local out = {now, ready, in_flight, memory, oldest}
for i = 1, #meta do out[#out + 1] = tonumber(meta[i] or '0') end
out[#out + 1] = redis.call('HVALS', DELIVERIES)
return out
