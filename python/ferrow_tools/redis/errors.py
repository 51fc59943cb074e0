"""Redis failures as the exceptions a local queue raises: `TimeoutError` for
time-outs, `OSError("Ferrow I/O error: ...")` for everything the server or
the connection did wrong, with the client's or the server's text and where
the queue lives."""
from __future__ import annotations

import contextlib
from typing import Iterator

from .connection import import_redis


def io_error(text: str, where: str) -> OSError:
    return OSError("Ferrow I/O error: {} ({})".format(text, where))


@contextlib.contextmanager
def mapped_errors(where: str) -> Iterator[None]:
    rex = import_redis("redis.exceptions")

    try:
        yield
    except rex.TimeoutError as exc:
        raise TimeoutError("Redis time-out: {} ({})".format(exc, where)) from exc
    except rex.RedisError as exc:
        # Connection, response (OOM, READONLY, ...) and cluster errors alike:
        # the call may or may not have taken effect, as after a failed fsync.
        raise io_error(str(exc) or type(exc).__name__, where) from exc
