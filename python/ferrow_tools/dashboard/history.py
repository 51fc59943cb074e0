"""The last hour of each queue, kept while the dashboard runs: samples of
its figures taken every SAMPLE_S seconds, from which the enqueue and ack
rates and the overview's small charts are drawn. Enqueues per minute come
from the log where the source has them (a directory), so a chart drawn
right after a restart already shows what the log still holds.
"""
import threading
from collections import deque
from typing import Deque, Dict, List, NamedTuple, Optional, Tuple

from .figures import QueueFigures

SAMPLE_S = 10.0
KEPT_MS = 3_600_000
MINUTE_MS = 60_000
MINUTES = 60
# Rates are taken over about this span, or the longest one sampled so far.
RATE_SPAN_MS = 60_000


class Sample(NamedTuple):
    t_ms: int
    generation: int
    ready: int
    in_flight: int
    enqueued_total: int
    acked_total: int


class Rates(NamedTuple):
    enqueued_per_s: float
    acked_per_s: float


class Chart(NamedTuple):
    """Per minute over the last hour, oldest first."""

    enqueued: List[int]
    acked: List[int]
    ready: List[int]  # the last sample of each minute (the previous minute's if none)


def sample_of(f: QueueFigures, t_ms: int) -> Sample:
    s = f.stats
    return Sample(t_ms, s["generation"], s["ready"], s["in_flight"], s["enqueued_total"],
                  s["acked_total"])


class History:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._samples: Dict[str, Deque[Sample]] = {}

    def record(self, figures: List[QueueFigures], t_ms: int) -> None:
        with self._lock:
            for f in figures:
                samples = self._samples.setdefault(f.name, deque())
                samples.append(sample_of(f, t_ms))
                while samples and samples[0].t_ms < t_ms - KEPT_MS:
                    samples.popleft()
            for gone in set(self._samples) - {f.name for f in figures}:
                del self._samples[gone]

    def samples(self, name: str) -> List[Sample]:
        with self._lock:
            return list(self._samples.get(name, ()))

    def rates(self, current: QueueFigures, t_ms: int) -> Optional[Rates]:
        """Enqueues and acks per second over about the last minute, up to the
        current figures; None until a sample at least a second old exists.
        Counters start again with a new log generation, so only samples of
        the current one are used."""
        now = sample_of(current, t_ms)
        base = None
        for s in reversed(self.samples(current.name)):
            if s.generation != now.generation or now.t_ms - s.t_ms > RATE_SPAN_MS + SAMPLE_S * 1000:
                break
            if now.t_ms - s.t_ms >= 1000:
                base = s
        if base is None:
            return None
        dt = (now.t_ms - base.t_ms) / 1000
        return Rates(max(0, now.enqueued_total - base.enqueued_total) / dt,
                     max(0, now.acked_total - base.acked_total) / dt)

    def chart(self, name: str, t_ms: int, logged_enqueues: Optional[Dict[int, int]]) -> Chart:
        last_minute = t_ms // MINUTE_MS
        minutes = range(last_minute - MINUTES + 1, last_minute + 1)
        enqueued: Dict[int, int] = {}
        acked: Dict[int, int] = {}
        ready: Dict[int, int] = {}
        previous: Optional[Sample] = None
        for s in self.samples(name):
            minute = s.t_ms // MINUTE_MS
            ready[minute] = s.ready
            if previous is not None and previous.generation == s.generation:
                add(enqueued, minute, s.enqueued_total - previous.enqueued_total)
                add(acked, minute, s.acked_total - previous.acked_total)
            previous = s
        if logged_enqueues is not None:
            enqueued = logged_enqueues
        ready_line: List[int] = []
        for m in minutes:
            ready_line.append(ready.get(m, ready_line[-1] if ready_line else 0))
        return Chart([enqueued.get(m, 0) for m in minutes], [acked.get(m, 0) for m in minutes],
                     ready_line)


def add(per_minute: Dict[int, int], minute: int, delta: int) -> None:
    if delta > 0:
        per_minute[minute] = per_minute.get(minute, 0) + delta


def polyline(values: List[int], width: int, height: int, top: int) -> str:
    """SVG polyline points of `values` scaled so that `top` is the top edge."""
    if not values:
        return ""
    step = width / max(1, len(values) - 1)
    scale = (height - 2) / top if top > 0 else 0
    return " ".join("{:.1f},{:.1f}".format(i * step, height - 1 - v * scale)
                    for i, v in enumerate(values))


def chart_lines(chart: Chart, width: int = 180, height: int = 36) -> Tuple[str, str, int]:
    """Points of the enqueue and ack lines of a chart, sharing one scale, and
    that scale's top (the busiest minute)."""
    top = max(chart.enqueued + chart.acked + [0])
    return (polyline(chart.enqueued, width, height, top),
            polyline(chart.acked, width, height, top), top)
