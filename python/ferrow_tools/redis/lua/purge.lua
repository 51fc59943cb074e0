-- Every message and counter goes; ids start again at 0 under a new generation.
local generation = counter('generation') + 1
redis.call('DEL', META, READY, LEASES, BODIES, DELIVERIES, TIMES)
redis.call('HSET', META, 'generation', generation)
return generation
