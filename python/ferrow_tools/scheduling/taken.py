"""What a get across levels yields for each message."""
from __future__ import annotations

from typing import TYPE_CHECKING, NamedTuple, Optional

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowQueue


class Taken(NamedTuple):
    """A leased message: `core` is the queue (or sub-queue) that holds it,
    to ack, nack or extend it through; `delivered` is (id, body without
    envelope, deliveries, enqueued_ts_ms); `level` its priority level;
    `expires_ms` its expiry (ms since the epoch) or None;
    `ready_since_ms` when it became deliverable."""

    core: "FerrowQueue"
    delivered: "DeliveredMessage"
    level: int
    expires_ms: Optional[int]
    ready_since_ms: int
