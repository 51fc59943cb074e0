"""How figures read on a page and in JSON: times, ages, sizes and rates."""
from typing import Any, Callable, Dict

from ..admin.common import format_ms
from .source import DeadLetterRow, MessageRow


def seconds(s: float) -> str:
    if s <= 0:
        return "–"
    if s < 60:
        return "{:.1f} s".format(s) if s < 10 else "{:.0f} s".format(s)
    if s < 3600:
        return "{:.0f} min".format(s / 60)
    if s < 86400:
        return "{:.1f} h".format(s / 3600)
    return "{:.1f} d".format(s / 86400)


def ms_age(ms: int) -> str:
    return seconds(max(ms, 1) / 1000)


def size(n: int) -> str:
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return "{:.0f} {}".format(value, unit) if unit == "B" else "{:.1f} {}".format(value, unit)
        value /= 1024
    return str(n)


def rate(per_s: float) -> str:
    return "{:.0f}".format(per_s) if per_s >= 10 else "{:.1f}".format(per_s)


FILTERS: Dict[str, Callable[..., Any]] = {
    "when": format_ms, "seconds": seconds, "ms_age": ms_age, "size": size, "rate": rate,
}


def message_json(m: MessageRow) -> Dict[str, Any]:
    return {"seq": m.seq, "deliveries": m.deliveries, "enqueued_ts_ms": m.enqueued_ts_ms,
            "deadline_ms": m.deadline_ms, "body_len": m.body_len,
            "preview": m.preview._asdict()}


def dead_letter_json(d: DeadLetterRow) -> Dict[str, Any]:
    h = d.header
    out: Dict[str, Any] = {"seq": d.seq, "body_len": d.body_len, "preview": d.preview._asdict()}
    if h is None:
        out["error"] = d.error
    else:
        out.update(original_id=h.original_id, deliveries=h.deliveries,
                   enqueued_ts_ms=h.enqueued_ts_ms, dead_ts_ms=h.dead_ts_ms, reason=h.reason)
    return out
