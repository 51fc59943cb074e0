-- Returns the counters in the order of stats(); log_bytes is the memory the
-- queue's keys take. Delayed messages count in the total, as neither ready
-- nor in flight; expired_total counts the expired messages dropped.
local now = now_ms()
reclaim(now)
promote(now)
local memory = 0
local keys = {unpack(KEYS)}
for _, key in ipairs({DUE, LEVELS, EXPIRES, DUES}) do keys[#keys + 1] = key end
for level = 0, levels_used() - 1 do keys[#keys + 1] = level_key(level) end
for i = 1, #keys do
  memory = memory + (redis.call('MEMORY', 'USAGE', keys[i]) or 0)
end
local ready = ready_count()
local in_flight = redis.call('ZCARD', LEASES)
local delayed = redis.call('ZCARD', DUE)
return {ready, in_flight, ready + in_flight + delayed, counter('enqueued_total'),
        counter('acked_total'), counter('requeued_total'), counter('dead_total'),
        counter('next_seq'), counter('live_bytes'), memory, counter('generation'), delayed,
        counter('expired_total')}
