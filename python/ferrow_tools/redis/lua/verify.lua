-- Checks the invariants the other scripts keep, changing nothing. Returns
-- ok (1/0), messages checked, their bytes, and the first problem found.
local problems = {}
local function problem(text)
  if #problems == 0 then problems[1] = text end
end
local next_seq = counter('next_seq')
local ids = redis.call('HKEYS', BODIES)
local size = 0
for i = 1, #ids do
  local seq = ids[i]
  local in_ready = redis.call('ZSCORE', READY, seq)
  local in_leases = redis.call('ZSCORE', LEASES, seq)
  if in_ready and in_leases then problem('message ' .. seq .. ' is both ready and leased') end
  if not in_ready and not in_leases then problem('message ' .. seq .. ' is neither ready nor leased') end
  if in_ready and tonumber(in_ready) ~= tonumber(seq) then problem('message ' .. seq .. ' has a ready score of ' .. in_ready) end
  if tonumber(seq) >= next_seq then problem('message ' .. seq .. ' is not below next_seq ' .. next_seq) end
  if redis.call('HEXISTS', TIMES, seq) == 0 then problem('message ' .. seq .. ' has no enqueue time') end
  size = size + redis.call('HSTRLEN', BODIES, seq) + RECORD_OVERHEAD
end
if redis.call('ZCARD', READY) + redis.call('ZCARD', LEASES) ~= #ids then
  problem('ready and leased sets hold ' .. (redis.call('ZCARD', READY) + redis.call('ZCARD', LEASES)) .. ' ids, bodies ' .. #ids)
end
if redis.call('HLEN', TIMES) ~= #ids then problem('enqueue times of ' .. redis.call('HLEN', TIMES) .. ' ids, bodies of ' .. #ids) end
if redis.call('HLEN', DELIVERIES) > #ids then problem('delivery counts of ' .. redis.call('HLEN', DELIVERIES) .. ' ids, bodies of ' .. #ids) end
if counter('live_bytes') ~= size then problem('live_bytes is ' .. counter('live_bytes') .. ', the messages hold ' .. size) end
if #problems == 0 then return {1, #ids, size, 'clean'} end
return {0, #ids, size, problems[1]}
