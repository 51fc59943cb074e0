"""The queues' metrics in the Prometheus exposition format, written by
prometheus_client: `ferrow-admin stats --prometheus` prints them for one
queue, and the dashboard's /metrics serves them for every queue it shows,
both through `families` below.

Every sample carries the label `queue`: the queue's name below the
dashboard's target, or the target given to `stats`.
"""
import os
from typing import TYPE_CHECKING, Any, Iterator, List

from ..targets import describe, is_redis
from .common import AdminError

if TYPE_CHECKING:
    from ..dashboard.figures import QueueFigures

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
DASHBOARD_EXTRA_HINT = ("the Prometheus output needs prometheus_client: "
                        "pip install 'ferrow[dashboard]'")

# stats() key -> (metric name, type, help).
STATS_METRICS = {
    "ready": ("ferrow_ready", "gauge", "Messages ready for delivery (lapsed leases included)."),
    "in_flight": ("ferrow_in_flight", "gauge", "Messages under a lease that has not lapsed."),
    "total": ("ferrow_messages", "gauge", "Messages present (ready and in flight)."),
    "enqueued_total": ("ferrow_enqueued", "counter",
                       "Messages enqueued since the log was last rewritten."),
    "acked_total": ("ferrow_acked", "counter", "Messages acknowledged."),
    "requeued_total": ("ferrow_requeued", "counter", "Messages handed back to the ready set."),
    "dead_total": ("ferrow_dead", "counter", "Messages dropped with nack(requeue=False)."),
    "next_seq": ("ferrow_next_seq", "gauge", "The id the next enqueue gets."),
    "live_bytes": ("ferrow_live_bytes", "gauge", "Log bytes of the present messages."),
    "log_bytes": ("ferrow_log_bytes", "gauge",
                  "Size of queue.log in bytes (memory of the keys for a Redis queue)."),
    "generation": ("ferrow_generation", "gauge", "Log generation (raised by compact and purge)."),
    "persistent": ("ferrow_persistent", "gauge", "1 for a queue kept on disk, else 0."),
}


def _client() -> Any:
    try:
        import prometheus_client.core as core
    except ImportError:
        raise AdminError(DASHBOARD_EXTRA_HINT) from None
    return core


def families(figures: List["QueueFigures"]) -> Iterator[Any]:
    """The metric families of these queues' figures."""
    from ..dashboard.figures import DELIVERY_BUCKETS

    core = _client()
    kinds = {"gauge": core.GaugeMetricFamily, "counter": core.CounterMetricFamily}
    for key, (name, kind, help_text) in STATS_METRICS.items():
        family = kinds[kind](name, help_text, labels=["queue"])
        for f in figures:
            family.add_metric([f.name], float(f.stats[key]))
        yield family
    age = core.GaugeMetricFamily("ferrow_oldest_ready_age_seconds",
                                 "Age of the oldest ready message in seconds (0 when none is "
                                 "ready).", labels=["queue"])
    dead = core.GaugeMetricFamily("ferrow_dead_letters",
                                  "Dead letters present in the queue's NAME.dead.",
                                  labels=["queue"])
    expired = core.CounterMetricFamily("ferrow_expired",
                                       "Dead letters present that were taken out as expired.",
                                       labels=["queue"])
    deliveries = core.HistogramMetricFamily("ferrow_deliveries",
                                            "Deliveries so far of each present message.",
                                            labels=["queue"])
    for f in figures:
        age.add_metric([f.name], f.oldest_ready_age_s)
        if f.dead_letters is not None:
            dead.add_metric([f.name], f.dead_letters)
        if f.expired_total is not None:
            expired.add_metric([f.name], f.expired_total)
        buckets = [(str(bound), count) for bound, count in zip(DELIVERY_BUCKETS,
                                                               f.delivery_buckets)]
        deliveries.add_metric([f.name], buckets + [("+Inf", f.delivery_count)],
                              sum_value=f.delivery_sum)
    yield from (age, dead, expired, deliveries)


class FiguresCollector:
    """A collector over a fixed list of figures."""

    def __init__(self, figures: List["QueueFigures"]) -> None:
        self.figures = figures

    def collect(self) -> Iterator[Any]:
        return families(self.figures)


def exposition(figures: List["QueueFigures"]) -> bytes:
    """The text exposition of these queues' figures."""
    _client()
    from prometheus_client import CollectorRegistry, generate_latest

    registry = CollectorRegistry(auto_describe=False)
    registry.register(FiguresCollector(figures))
    return bytes(generate_latest(registry))


def target_metrics(target: str) -> str:
    """The metrics of the one queue at `target` (a directory or a Redis URL
    with its queue), read the way the dashboard reads them, labelled with the
    target (without its password)."""
    _client()
    if is_redis(target):
        from ..dashboard.redis_source import RedisSource, queue_of

        source: Any = RedisSource(target, one_queue=True)
        name = queue_of(target)
    else:
        from ..dashboard.directory_source import DirectorySource

        source = DirectorySource(target)
        name = os.path.basename(source.root)
    try:
        figures = source.figures(name)
    finally:
        source.close()
    return exposition([figures._replace(name=describe(target))]).decode()
