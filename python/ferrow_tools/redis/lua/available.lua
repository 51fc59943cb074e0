reclaim(now_ms())
return redis.call('ZCARD', READY)
