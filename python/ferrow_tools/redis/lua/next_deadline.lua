-- Milliseconds until the earliest lease deadline (0 when one has lapsed), or
-- -1 when nothing is leased: how long a waiter may block at most.
local first = redis.call('ZRANGE', LEASES, 0, 0, 'WITHSCORES')
if #first == 0 then return -1 end
return math.max(0, tonumber(first[2]) - now_ms())
