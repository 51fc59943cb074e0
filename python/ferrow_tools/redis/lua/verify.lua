-- Checks the invariants the other scripts keep, changing nothing. Returns
-- ok (1/0), messages checked, their bytes, and the first problem found.
local problems = {}
local function problem(text)
  if #problems == 0 then problems[1] = text end
end
local next_seq = counter('next_seq')
local ids = redis.call('HKEYS', BODIES)
local size = 0
-- Where each id is: the plain ready set, its level's ready set, leased, or delayed.
local places = {}
local function count_in(key, label)
  local members = redis.call('ZRANGE', key, 0, -1, 'WITHSCORES')
  for i = 1, #members, 2 do
    local seq = members[i]
    if places[seq] then problem('message ' .. seq .. ' is both ' .. places[seq] .. ' and ' .. label) end
    places[seq] = label
    if (label == 'ready' or string.sub(label, 1, 6) == 'level ') and tonumber(members[i + 1]) ~= tonumber(seq) then
      problem('message ' .. seq .. ' has a ready score of ' .. members[i + 1])
    end
  end
  return #members / 2
end
local placed = count_in(READY, 'ready') + count_in(LEASES, 'leased') + count_in(DUE, 'delayed')
for level = 0, levels_used() - 1 do placed = placed + count_in(level_key(level), 'level ' .. level) end
for i = 1, #ids do
  local seq = ids[i]
  if not places[seq] then problem('message ' .. seq .. ' is neither ready, leased nor delayed') end
  local level = redis.call('HGET', LEVELS, seq)
  if places[seq] == 'ready' and level then problem('message ' .. seq .. ' of level ' .. level .. ' is in the plain ready set') end
  if places[seq] and string.sub(places[seq], 1, 6) == 'level ' and places[seq] ~= 'level ' .. tostring(level) then
    problem('message ' .. seq .. ' of level ' .. tostring(level) .. ' is in the ready set of ' .. places[seq])
  end
  if tonumber(seq) >= next_seq then problem('message ' .. seq .. ' is not below next_seq ' .. next_seq) end
  if redis.call('HEXISTS', TIMES, seq) == 0 then problem('message ' .. seq .. ' has no enqueue time') end
  size = size + redis.call('HSTRLEN', BODIES, seq) + RECORD_OVERHEAD
end
if placed ~= #ids then
  problem('ready, leased and delayed sets hold ' .. placed .. ' ids, bodies ' .. #ids)
end
if redis.call('HLEN', LEVELS) > #ids then problem('levels of ' .. redis.call('HLEN', LEVELS) .. ' ids, bodies of ' .. #ids) end
if redis.call('HLEN', TIMES) ~= #ids then problem('enqueue times of ' .. redis.call('HLEN', TIMES) .. ' ids, bodies of ' .. #ids) end
if redis.call('HLEN', DELIVERIES) > #ids then problem('delivery counts of ' .. redis.call('HLEN', DELIVERIES) .. ' ids, bodies of ' .. #ids) end
if counter('live_bytes') ~= size then problem('live_bytes is ' .. counter('live_bytes') .. ', the messages hold ' .. size) end
if #problems == 0 then return {1, #ids, size, 'clean'} end
return {0, #ids, size, problems[1]}
