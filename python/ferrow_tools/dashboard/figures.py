"""The figures the dashboard, the JSON API and the metrics show for one
queue, computed the same way for every kind of target.

They are those of `stats()` as a freshly opened queue would report them,
read without opening it: a lease that has lapsed counts as ready (any
delivering call would hand it back first), and nothing is written to make it
so.
"""
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Tuple

# Upper bounds of the delivery-count histogram buckets (+Inf is added).
DELIVERY_BUCKETS = (0, 1, 2, 3, 5, 10)

# The keys of stats(), in its order.
STATS_KEYS = ("ready", "in_flight", "total", "enqueued_total", "acked_total", "requeued_total",
              "dead_total", "next_seq", "live_bytes", "log_bytes", "generation", "persistent")


class QueueFigures(NamedTuple):
    name: str
    stats: Dict[str, Any]  # the keys of stats(), in its order
    oldest_ready_age_s: float  # 0 when nothing is ready
    # Cumulative counts of present messages per bucket of DELIVERY_BUCKETS,
    # then the number and sum of all deliveries.
    delivery_buckets: List[int]
    delivery_count: int
    delivery_sum: int
    dead_letters: Optional[int]  # present in NAME.dead; None where not known
    expired_total: Optional[int]  # dead letters taken out as "expired"; None where not known

    def as_json(self) -> Dict[str, Any]:
        out: Dict[str, Any] = {"name": self.name}
        out.update(self.stats)
        out.update(oldest_ready_age_s=self.oldest_ready_age_s, dead_letters=self.dead_letters,
                   expired_total=self.expired_total,
                   deliveries={"buckets": dict(zip((str(b) for b in DELIVERY_BUCKETS),
                                                   self.delivery_buckets)),
                               "count": self.delivery_count, "sum": self.delivery_sum})
        return out


def delivery_histogram(counts: Iterable[int]) -> List[int]:
    """Cumulative bucket counts of delivery counts (without +Inf)."""
    per_bucket = [0] * len(DELIVERY_BUCKETS)
    for c in counts:
        for i, bound in enumerate(DELIVERY_BUCKETS):
            if c <= bound:
                per_bucket[i] += 1
                break
    total = 0
    cumulative = []
    for n in per_bucket:
        total += n
        cumulative.append(total)
    return cumulative


# What the figures need of a present message: (enqueued_ts_ms, deliveries,
# lease deadline or None).
Present = Tuple[int, int, Optional[int]]


def figures_of(name: str, stats: Dict[str, Any], present: Iterable[Present], now_ms: int,
               dead_letters: Optional[int] = None,
               expired_total: Optional[int] = None) -> QueueFigures:
    """The figures of a queue from its counters and its present messages.
    `stats` gives the counters; ready and in flight are counted here from the
    messages, lapsed leases as ready (a deadline equal to now has lapsed)."""
    ready = 0
    oldest: Optional[int] = None
    deliveries: List[int] = []
    for enqueued_ts_ms, count, deadline_ms in present:
        deliveries.append(count)
        if deadline_ms is None or deadline_ms <= now_ms:
            ready += 1
            if oldest is None or enqueued_ts_ms < oldest:
                oldest = enqueued_ts_ms
    full = {key: stats.get(key, 0) for key in STATS_KEYS}
    full.update(ready=ready, in_flight=len(deliveries) - ready, total=len(deliveries),
                persistent=bool(full["persistent"]))
    age = max(0, now_ms - oldest) / 1000 if oldest is not None else 0.0
    return QueueFigures(name, full, age, delivery_histogram(deliveries), len(deliveries),
                        sum(deliveries), dead_letters, expired_total)
