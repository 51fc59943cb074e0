"""The keywords of a scheduled put, checked and turned into milliseconds:
`delay` and `ttl` in seconds (int, float or `datetime.timedelta`),
`priority` a level of the queue."""
from __future__ import annotations

import math
import time
from datetime import timedelta
from typing import Any, Optional

Seconds = Any  # int, float or timedelta; checked by `milliseconds`


def now_ms() -> int:
    """The wall clock in whole milliseconds, as the queue engine reads it."""
    return max(0, time.time_ns() // 1_000_000)


def milliseconds(name: str, value: Seconds, round_up: bool) -> Optional[int]:
    """`value` seconds as whole milliseconds (None stays None). A delay is
    rounded up, so that nothing is delivered early; a ttl down, so that
    nothing is delivered late."""
    if value is None:
        return None
    if isinstance(value, timedelta):
        seconds = value.total_seconds()
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        seconds = float(value)
    else:
        raise TypeError("{} is seconds as an int, a float or a timedelta, not {}".format(
            name, type(value).__name__))
    if not math.isfinite(seconds) or seconds < 0:
        raise ValueError("{} must be a finite number of seconds >= 0, not {!r}".format(
            name, value))
    ms = seconds * 1000.0
    return int(math.ceil(ms) if round_up else math.floor(ms))


def level_of(priority: Any, priorities: int) -> Optional[int]:
    """The level a put goes to: None when no priority was given, else
    `priority`, which must lie in 0..priorities-1."""
    if priority is None:
        return None
    if isinstance(priority, bool) or not isinstance(priority, int):
        raise TypeError("priority is an int, not {}".format(type(priority).__name__))
    if not 0 <= priority < priorities:
        raise ValueError("priority {} is outside 0..{} (the queue has priorities={})".format(
            priority, priorities - 1, priorities))
    return priority


def check_priorities(priorities: Any) -> int:
    if isinstance(priorities, bool) or not isinstance(priorities, int):
        raise TypeError("priorities is an int, not {}".format(type(priorities).__name__))
    if not 1 <= priorities <= MAX_PRIORITIES:
        raise ValueError("priorities must be in 1..{}, not {}".format(MAX_PRIORITIES, priorities))
    return priorities


# AMQP's own limit; every level is a sub-queue that a get may look at.
MAX_PRIORITIES = 256
