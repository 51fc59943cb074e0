-- ARGV: ids. Returns how many were present (each counted once).
local n = 0
for i = 1, #ARGV do
  if remove(ARGV[i]) then n = n + 1 end
end
if n > 0 then redis.call('HINCRBY', META, 'acked_total', n) end
return n
