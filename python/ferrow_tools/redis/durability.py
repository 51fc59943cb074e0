"""What the server promises about a returned call, checked when a queue
opens, and the waits that follow writes.

`sync_interval_ms=0` promises that a returned call survives the loss of the
server process, which holds only with an append-only file synced on every
write (`appendfsync always`); a positive interval accepts `everysec`. A
server that promises less is refused unless the caller accepts its policy as
it is. Bodies live in the server's memory, so an eviction policy other than
`noeviction` could drop messages without a trace: that earns a warning.
"""
from __future__ import annotations

import warnings
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

from .connection import import_redis
from .errors import io_error

# WAITAOF came with this release.
WAITAOF_VERSION = (7, 2)


class ServerPolicy(NamedTuple):
    version: Tuple[int, ...]
    appendonly: bool
    # None where the server refuses CONFIG (managed services often do).
    appendfsync: Optional[str]
    maxmemory_policy: Optional[str]

    @property
    def has_waitaof(self) -> bool:
        return self.version >= WAITAOF_VERSION


def _text(value: Any) -> str:
    return value.decode() if isinstance(value, bytes) else str(value)


def read_policy(run: Any) -> ServerPolicy:
    """`run(*command)` sends one command to the server holding the queue."""
    rex = import_redis("redis.exceptions")

    info = _info(run("INFO", "server")) + _info(run("INFO", "persistence"))
    fields = dict(info)
    version = tuple(int(p) for p in fields.get("redis_version", "0").split(".")[:3]
                    if p.isdigit())
    settings: Dict[str, str] = {}
    try:
        for name in ("appendfsync", "maxmemory-policy"):
            settings.update(_pairs(run("CONFIG", "GET", name)))
    except rex.ResponseError:
        pass  # CONFIG is disabled: the settings stay unknown
    return ServerPolicy(version, fields.get("aof_enabled") in ("1", "True"),
                        settings.get("appendfsync"), settings.get("maxmemory-policy"))


def _pairs(raw: Any) -> Dict[str, str]:
    """CONFIG GET's reply: a dict, or a flat list under another protocol."""
    if isinstance(raw, dict):
        return {_text(k): _text(v) for k, v in raw.items()}
    return {_text(raw[i]): _text(raw[i + 1]) for i in range(0, len(raw) - 1, 2)}


def _info(raw: Any) -> List[Tuple[str, str]]:
    """INFO as pairs: the client parses it into a dict of typed values."""
    if isinstance(raw, dict):
        return [(str(k), _text(v)) for k, v in raw.items()]
    pairs = []
    for line in _text(raw).splitlines():
        key, sep, value = line.partition(":")
        if sep and not line.startswith("#"):
            pairs.append((key, value))
    return pairs


def check_policy(policy: ServerPolicy, sync_interval_ms: int, accept: bool, where: str) -> None:
    """Raises OSError when the server keeps less than the interval promises."""
    if policy.maxmemory_policy not in (None, "noeviction"):
        warnings.warn("the Redis server at {} evicts keys under memory pressure "
                      "(maxmemory-policy {}): messages could vanish; set it to noeviction"
                      .format(where, policy.maxmemory_policy), RuntimeWarning, stacklevel=4)
    if accept:
        return
    wanted = ("always",) if sync_interval_ms == 0 else ("always", "everysec")
    promise = ("a returned call must survive the loss of the server process"
               if sync_interval_ms == 0 else
               "writes must reach the disk within about a second")
    hint = ("set appendonly yes and appendfsync {} on the server, or open with "
            "accept_server_policy=True to take its policy as it is".format(wanted[-1]))
    if not policy.appendonly:
        raise io_error("the server keeps no append-only file (appendonly no), but {}; {}"
                       .format(promise, hint), where)
    if policy.appendfsync is None:
        raise io_error("the server refuses CONFIG GET, so its appendfsync policy cannot be "
                       "checked; {}".format(hint), where)
    if policy.appendfsync not in wanted:
        raise io_error("the server syncs its append-only file with appendfsync {}, but {}; {}"
                       .format(policy.appendfsync, promise, hint), where)
