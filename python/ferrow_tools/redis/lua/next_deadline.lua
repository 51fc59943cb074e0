-- Milliseconds until the earliest lease deadline or due time (0 when one
-- has passed), or -1 when nothing is leased or delayed: how long a waiter may
-- block at most.
local first = nil
for _, key in ipairs({LEASES, DUE}) do
  local head = redis.call('ZRANGE', key, 0, 0, 'WITHSCORES')
  if #head > 0 and (first == nil or tonumber(head[2]) < first) then first = tonumber(head[2]) end
end
if first == nil then return -1 end
return math.max(0, first - now_ms())
