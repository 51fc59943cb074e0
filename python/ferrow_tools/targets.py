"""Opening a queue by its target: a directory, ":memory:" or a Redis URL.

A directory or ":memory:" gives a plain `ferrow.FerrowCore`; a Redis URL (see
`ferrow_tools.redis.url`) gives a `RedisQueue` with the same methods.
Both satisfy the `ferrow.FerrowQueue` protocol, which is what the worker and
the admin tool ask for.
"""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Union

import ferrow

from .deadletter import dead_letter_dir
from .redis.url import is_redis_url, parse, with_queue

if TYPE_CHECKING:
    from ferrow import FerrowQueue

Target = Union[str, "os.PathLike[str]"]

DEAD_SUFFIX = ".dead"


def target_text(target: Target) -> str:
    """The target as text; a directory may be given as a path object."""
    text = os.fspath(target)
    if not isinstance(text, str):
        raise TypeError("a queue target is a str or a path of str, not {}".format(
            type(text).__name__))
    return text


def is_redis(target: Target) -> bool:
    return is_redis_url(target_text(target))


def open_queue(target: Target, sync_interval_ms: Any = None, default_lease_ms: Any = None,
               auto_compact_bytes: Any = None, **backend_options: Any) -> FerrowQueue:
    """The queue at `target`. Options other than FerrowCore's belong to the
    Redis queue (`min_replicas`, `accept_server_policy`, ...); a local queue
    refuses them."""
    text = target_text(target)
    if is_redis_url(text):
        from .redis import RedisQueue

        return RedisQueue(text, sync_interval_ms, default_lease_ms, auto_compact_bytes,
                          **backend_options)
    if backend_options:
        raise TypeError("options for Redis queues only: {}".format(
            ", ".join(sorted(backend_options))))
    return ferrow.FerrowCore(text, sync_interval_ms, default_lease_ms, auto_compact_bytes)


def dead_letter_target(target: Target) -> str:
    """Where the dead letters of a queue go: the directory DIR.dead beside a
    directory, the queue NAME.dead on the same servers for a Redis queue."""
    text = target_text(target)
    if is_redis_url(text):
        parsed = parse(text)
        return with_queue(parsed, parsed.queue + DEAD_SUFFIX)
    return dead_letter_dir(text)


def describe(target: Target) -> str:
    """The target for messages: a Redis URL without its password."""
    text = target_text(target)
    return parse(text).describe() if is_redis_url(text) else text
