"""Delays, priorities and expiry for every kind of queue target.

The one mechanism behind `Queue.put(..., delay=, priority=, ttl=)`,
`Queue(target, priorities=N)`, the worker, and the Celery and dramatiq
integrations. The semantics, the aging rule and the storage are described
in docs/scheduling.md; in short:

- `delay`: not delivered before it is due, delivered as soon as a reader
  looks after that (a waiting get wakes at the due time);
- `priority`: levels 0..N-1, higher first, by id within a level; aging
  (`aging.py`) bounds how long a ready message can be passed over;
- `ttl`: never delivered once expired; dropped (counted as dead) or, with
  expired="dead", moved to the dead letters with the reason "expired".

For code that works on queues directly (the framework integrations):

    levels = open_levels(target, priorities=10)
    levels.put([b"job"], *put_options(delay=5, priority=9, ttl=60, priorities=10))
    for taken in levels.take(10, lease_ms=30_000):
        ...                                    # taken.core.ack(taken.delivered[0])

`levels.take` returns `Taken` tuples: the (sub-)queue that holds the
message (ack, nack and extend it there), the delivered tuple with the plain
body, its level and expiry.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple, Union

from ..targets import Target, dead_letter_target, is_redis, open_queue, target_text
from .aging import DEFAULT_AGING_S
from .local import LocalLevels
from .remote import RedisLevels
from .taken import Taken
from .times import Seconds, check_priorities, level_of, milliseconds

if TYPE_CHECKING:
    from ferrow import FerrowQueue

__all__ = ["Levels", "LocalLevels", "RedisLevels", "Taken", "SchedulingOptions", "open_levels",
           "put_options", "SCHEDULING_OPTIONS"]

Levels = Union[LocalLevels, RedisLevels]
EXPIRED_CHOICES = ("drop", "dead")
# The options of a queue that `SchedulingOptions` takes.
SCHEDULING_OPTIONS = ("priorities", "aging_s", "expired")


class SchedulingOptions:
    """The options of a queue that concern levels and expiry: `priorities`
    (levels, default 1), `aging_s` (the aging bound, default 5 s) and
    `expired` ("drop", the default, or "dead": to the dead letters)."""

    def __init__(self, priorities: int = 1, aging_s: Seconds = DEFAULT_AGING_S,
                 expired: str = "drop") -> None:
        self.priorities = check_priorities(priorities)
        aging_ms = milliseconds("aging_s", aging_s, round_up=False)
        assert aging_ms is not None
        self.aging_ms = aging_ms
        if expired not in EXPIRED_CHOICES:
            raise ValueError("expired is one of {}, not {!r}".format(EXPIRED_CHOICES, expired))
        self.expired_to_dead = expired == "dead"

    @classmethod
    def pop_from(cls, options: Dict[str, Any]) -> "SchedulingOptions":
        """Takes these options out of a queue's keyword arguments."""
        return cls(options.pop("priorities", 1), options.pop("aging_s", DEFAULT_AGING_S),
                   options.pop("expired", "drop"))


def put_options(delay: Seconds = None, priority: Any = None, ttl: Seconds = None,
                priorities: int = 1) -> Tuple[Optional[int], Optional[int], Optional[int]]:
    """(delay_ms, level, ttl_ms) of a put's keywords; raises ValueError for
    a priority outside 0..priorities-1 or a negative time."""
    return (milliseconds("delay", delay, round_up=True), level_of(priority, priorities),
            milliseconds("ttl", ttl, round_up=False))


def open_levels(target: Target, core: Optional[FerrowQueue] = None,
                scheduling: Optional[SchedulingOptions] = None,
                dead: Optional[Callable[[], FerrowQueue]] = None,
                **open_options: Any) -> Levels:
    """The levels of the queue at `target`, whose plain queue is `core`
    (opened with `open_options` when not given). `dead` opens the dead
    letters (by default DIR.dead or NAME.dead, when first needed)."""
    text = target_text(target)
    settings = scheduling if scheduling is not None else SchedulingOptions()
    main = core if core is not None else open_queue(text, **open_options)
    opened: Dict[str, FerrowQueue] = {}

    def open_dead() -> FerrowQueue:
        if dead is not None:
            return dead()
        if "dead" not in opened:
            opened["dead"] = open_queue(dead_letter_target(text))
        return opened["dead"]

    if is_redis(text):
        from ..redis.queue import RedisQueue

        assert isinstance(main, RedisQueue)
        return RedisLevels(main, settings.priorities, settings.aging_ms, open_dead,
                           settings.expired_to_dead)
    return LocalLevels(text, main, settings.priorities, settings.aging_ms, open_dead,
                       settings.expired_to_dead, open_options)
