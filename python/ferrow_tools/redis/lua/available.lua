reclaim(now_ms())
promote(now_ms())
return ready_count()
