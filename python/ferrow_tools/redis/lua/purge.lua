-- Every message and counter goes; ids start again at 0 under a new generation.
local generation = counter('generation') + 1
for level = 0, levels_used() - 1 do redis.call('DEL', level_key(level)) end
redis.call('DEL', META, READY, LEASES, BODIES, DELIVERIES, TIMES, DUE, LEVELS, EXPIRES, DUES)
redis.call('HSET', META, 'generation', generation)
return generation
