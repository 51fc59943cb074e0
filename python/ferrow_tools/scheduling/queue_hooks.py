"""How `Queue` and `aio.Queue` use the levels: their puts with options,
their gets across levels, and the message objects of messages that live in
a sub-queue."""
from __future__ import annotations

from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Callable, Optional, Type, TypeVar

from .taken import Taken

if TYPE_CHECKING:
    from ferrow import FerrowQueue

M = TypeVar("M")


class SubQueueView:
    """Stands for the queue in a message that lives in a sub-queue: the
    calls a message makes (ack, nack, extend, its `with` block) go to the
    sub-queue; everything else (settings, serializer, doorbell) is the
    queue's."""

    def __init__(self, queue: Any, sub_core: FerrowQueue, calls: Any = None) -> None:
        self._owner = queue
        self._sub_core = sub_core
        self._calls = calls

    # Each says "closed" as the queue's own does once the queue is closed.

    @property
    def core(self) -> FerrowQueue:
        self._owner.core  # QueueClosed once closed
        return self._sub_core

    @property
    def _core(self) -> Optional[FerrowQueue]:
        return None if self._owner._core is None else self._sub_core

    @property
    def _ack(self) -> Callable[[int], bool]:
        return self._owner._ack if self._owner._core is None else self._sub_core.ack

    @property
    def calls(self) -> Any:
        calls = self._owner.calls  # QueueClosed once closed
        return calls if self._calls is None else self._calls

    def __getattr__(self, name: str) -> Any:
        return getattr(self._owner, name)


def message_for(cls: Type[M], queue: Any, taken: Taken, leased_at: float, lease_ms: int,
                priorities: int, local_calls: Optional[Callable[[FerrowQueue], Any]] = None
                ) -> M:
    """The message object of `taken`, with its `priority` (its level, on a
    queue with levels) and `expires_at`."""
    owner = queue
    if taken.core is not queue.core:
        owner = SubQueueView(queue, taken.core,
                             None if local_calls is None else local_calls(taken.core))
    message: M = cls.made(owner, taken.delivered, leased_at,  # type: ignore[attr-defined]
                          lease_ms)
    if priorities > 1 or taken.level > 0:
        setattr(message, "priority", taken.level)
    if taken.expires_ms is not None:
        setattr(message, "expires_at",
                datetime.fromtimestamp(taken.expires_ms / 1000.0, tz=timezone.utc))
    return message


def has_options(delay: Any, priority: Any, ttl: Any) -> bool:
    return delay is not None or priority is not None or ttl is not None


__all__ = ["SubQueueView", "message_for", "has_options"]
