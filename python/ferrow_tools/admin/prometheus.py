"""`ferrow-admin stats --prometheus`: the queue's metrics in the Prometheus
text exposition format. Kept apart from the stats command because the format
has rules of its own (label escaping, cumulative histogram buckets).
"""

from typing import Any, Dict, Iterator, List, Protocol, Tuple

from ..files.logfile import Message, is_ready


class MessageSource(Protocol):
    """Where the present messages come from: a replayed log, or a Redis queue."""

    def messages(self) -> Iterator[Message]: ...


# Upper bounds of the delivery-count histogram buckets (+Inf is added).
DELIVERY_BUCKETS = (0, 1, 2, 3, 5, 10)

# stats() key -> (metric name, type, help). Keys not listed become gauges.
STATS_METRICS: Dict[str, Tuple[str, str, str]] = {
    "ready": ("ferrow_ready", "gauge", "Messages ready for delivery."),
    "in_flight": ("ferrow_in_flight", "gauge", "Messages under a lease."),
    "total": ("ferrow_messages", "gauge", "Messages present (ready and in flight)."),
    "enqueued_total": ("ferrow_enqueued_total", "counter",
                       "Messages enqueued since the log was last rewritten."),
    "acked_total": ("ferrow_acked_total", "counter", "Messages acknowledged."),
    "requeued_total": ("ferrow_requeued_total", "counter",
                       "Messages handed back to the ready set."),
    "dead_total": ("ferrow_dead_total", "counter", "Messages dropped with nack(requeue=False)."),
    "next_seq": ("ferrow_next_seq", "gauge", "The id the next enqueue gets."),
    "live_bytes": ("ferrow_live_bytes", "gauge", "Log bytes of the present messages."),
    "log_bytes": ("ferrow_log_bytes", "gauge", "Size of queue.log in bytes."),
    "generation": ("ferrow_generation", "gauge", "Log generation (raised by compact and purge)."),
    "persistent": ("ferrow_persistent", "gauge", "1 for a queue on disk, 0 for :memory:."),
}


def label_value(text: str) -> str:
    """A label value escaped for the Prometheus text format."""
    return text.replace("\\", "\\\\").replace("\"", "\\\"").replace("\n", "\\n")


def metric_value(value: Any) -> str:
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, int):
        return str(value)
    return repr(float(value))


def prometheus_text(qdir: str, stats: Dict[str, Any], view: MessageSource, now: int) -> str:
    """The stats, the age of the oldest ready message and the delivery-count
    histogram of the present messages in the Prometheus text format."""
    label = 'queue="{}"'.format(label_value(qdir))
    lines: List[str] = []

    def metric(name: str, kind: str, help_text: str, value: Any) -> None:
        lines.append("# HELP {} {}".format(name, help_text))
        lines.append("# TYPE {} {}".format(name, kind))
        lines.append("{}{{{}}} {}".format(name, label, metric_value(value)))

    for key, value in stats.items():
        name, kind, help_text = STATS_METRICS.get(
            key, ("ferrow_" + key, "gauge", "stats() field {}.".format(key)))
        metric(name, kind, help_text, value)

    present = list(view.messages())
    ready_ts = [m.enqueued_ts_ms for m in present if is_ready(m, now)]
    age_ms = max(0, now - min(ready_ts)) if ready_ts else 0
    metric("ferrow_oldest_ready_age_seconds", "gauge",
           "Age of the oldest ready message in seconds (0 when none is ready).", age_ms / 1000)

    name = "ferrow_deliveries"
    lines.append("# HELP {} Deliveries so far of each present message.".format(name))
    lines.append("# TYPE {} histogram".format(name))
    counts = [m.deliveries for m in present]
    for bound in DELIVERY_BUCKETS:
        lines.append('{}_bucket{{{},le="{}"}} {}'.format(
            name, label, bound, sum(1 for c in counts if c <= bound)))
    lines.append('{}_bucket{{{},le="+Inf"}} {}'.format(name, label, len(counts)))
    lines.append("{}_sum{{{}}} {}".format(name, label, sum(counts)))
    lines.append("{}_count{{{}}} {}".format(name, label, len(counts)))
    return "\n".join(lines) + "\n"
