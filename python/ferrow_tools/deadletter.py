"""Dead letters: messages taken out of a queue after too many deliveries.

A dead letter lives in a sibling queue directory, ``<DIR>.dead`` next to the
queue ``DIR``, as an ordinary message whose body is a small JSON header line
followed by the original body, untouched::

    {"original_id": 7, "deliveries": 5, "enqueued_ts_ms": ..., "dead_ts_ms": ..., "reason": "..."}\\n<original body>
"""
import json
import os
import time
from typing import NamedTuple, Optional


class DeadLetter(NamedTuple):
    original_id: int
    deliveries: int
    enqueued_ts_ms: int
    dead_ts_ms: int
    reason: str
    body: bytes


def dead_letter_dir(queue_dir: str) -> str:
    """The dead-letter queue directory of a queue directory."""
    return os.path.normpath(queue_dir) + ".dead"


def encode(original_id: int, deliveries: int, enqueued_ts_ms: int, reason: str, body: bytes,
           dead_ts_ms: Optional[int] = None) -> bytes:
    header = {
        "original_id": original_id,
        "deliveries": deliveries,
        "enqueued_ts_ms": enqueued_ts_ms,
        "dead_ts_ms": int(time.time() * 1000) if dead_ts_ms is None else dead_ts_ms,
        "reason": reason,
    }
    return json.dumps(header, sort_keys=True).encode() + b"\n" + bytes(body)


def decode(data: bytes) -> DeadLetter:
    """Raises ValueError for a body that is not a dead letter."""
    line, sep, body = bytes(data).partition(b"\n")
    if not sep:
        raise ValueError("not a dead letter: no header line")
    try:
        h = json.loads(line)
        return DeadLetter(int(h["original_id"]), int(h["deliveries"]), int(h["enqueued_ts_ms"]),
                          int(h["dead_ts_ms"]), str(h["reason"]), body)
    except (ValueError, KeyError, TypeError) as exc:
        raise ValueError(f"not a dead letter: {exc}") from None
