-- Returns the counters in the order of stats(); log_bytes is the memory the
-- queue's keys take.
reclaim(now_ms())
local memory = 0
for i = 1, #KEYS do
  memory = memory + (redis.call('MEMORY', 'USAGE', KEYS[i]) or 0)
end
local ready = redis.call('ZCARD', READY)
local in_flight = redis.call('ZCARD', LEASES)
return {ready, in_flight, ready + in_flight, counter('enqueued_total'), counter('acked_total'),
        counter('requeued_total'), counter('dead_total'), counter('next_seq'),
        counter('live_bytes'), memory, counter('generation')}
