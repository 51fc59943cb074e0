"""What the properties of a kombu message and the arguments of its queue ask
of a put: a delay until a Celery task's ETA, a priority level, an expiry."""
from __future__ import annotations

from datetime import datetime, timezone
from typing import Any, Dict, Optional

from ..scheduling.times import now_ms

__all__ = ["eta_delay_ms", "priority_levels", "priority_level", "expiration_ms", "MAX_PRIORITY"]

# The highest priority a queue takes (AMQP's own limit).
MAX_PRIORITY = 255


def eta_delay_ms(message: Dict[str, Any]) -> Optional[int]:
    """Milliseconds until the ETA of a Celery task message (a countdown is
    sent as an ETA), None when it has none or it has passed."""
    headers = message.get("headers") or {}
    eta = headers.get("eta")
    if not eta:
        return None
    try:
        due = datetime.fromisoformat(str(eta))
    except ValueError:
        return None  # not ours to judge: Celery reads it again when it runs the task
    if due.tzinfo is None:
        due = due.replace(tzinfo=timezone.utc)
    delay = int(due.timestamp() * 1000) - now_ms()
    return delay if delay > 0 else None


def priority_levels(arguments: Dict[str, Any]) -> int:
    """The levels of a queue declared with these arguments: 0..x-max-priority."""
    top = arguments.get("x-max-priority")
    return 1 if not top else min(int(top), MAX_PRIORITY) + 1


def priority_level(message: Dict[str, Any], arguments: Dict[str, Any]) -> Optional[int]:
    """The level of a message on a queue with these arguments: its `priority`
    property, capped at the queue's x-max-priority as in AMQP (higher first)."""
    if priority_levels(arguments) == 1:
        return None
    try:
        priority = int(message.get("properties", {}).get("priority") or 0)
    except (TypeError, ValueError):
        return None
    return max(0, min(priority, priority_levels(arguments) - 1))


def expiration_ms(message: Dict[str, Any], arguments: Dict[str, Any]) -> Optional[int]:
    """How long a message may wait to be delivered: the shorter of its
    `expiration` property and the queue's x-message-ttl (milliseconds)."""
    ttls = []
    expiration = message.get("properties", {}).get("expiration")
    if expiration is not None:
        ttls.append(int(float(expiration)))
    if arguments.get("x-message-ttl") is not None:
        ttls.append(int(arguments["x-message-ttl"]))
    return min(ttls) if ttls else None
