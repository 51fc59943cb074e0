"""Opening a queue by its target: a directory, ":memory:" or a Redis URL.

A directory or ":memory:" gives a plain `ferrow.FerrowCore`; a Redis URL (see
`ferrow_tools.redis.url`) gives a `RedisQueue` with the same methods.
Both satisfy the `ferrow.FerrowQueue` protocol, which is what the worker and
the admin tool ask for.
"""
from __future__ import annotations

import difflib
import os
import re
from typing import TYPE_CHECKING, Any, Iterable, Sequence, Union

import ferrow

from .deadletter import dead_letter_dir
from .errors import open_error
from .redis.url import QUEUE_OPTIONS, SCHEMES, is_redis_url, parse, with_queue

if TYPE_CHECKING:
    from ferrow import FerrowQueue

Target = Union[str, "os.PathLike[str]"]

DEAD_SUFFIX = ".dead"
MEMORY = ":memory:"

# The options of every queue, and those that only a Redis queue takes.
LOCAL_OPTIONS = ("sync_interval_ms", "default_lease_ms", "auto_compact_bytes")
REDIS_OPTIONS = QUEUE_OPTIONS

ACCEPTED_TARGETS = ('a directory path, ":memory:" or a Redis URL such as '
                    "redis://127.0.0.1:6379/0?queue=jobs (schemes: {})".format(
                        ", ".join(s + "://" for s in SCHEMES)))

# "scheme://..." and "scheme:/...": a URL, or a URL mistyped. A directory
# name rarely looks like that, and taking it for one would send the messages
# somewhere no consumer looks.
_URL_LIKE = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*):/")
_PASSWORD = re.compile(r"(//[^/@]*:)[^/@]*@")


def target_text(target: Target) -> str:
    """The target as text, checked: a directory may be given as a path
    object; empty or white-space text, and a URL whose scheme is not a
    Redis one, raise ValueError saying what a target is."""
    text = os.fspath(target)
    if not isinstance(text, str):
        raise TypeError("a queue target is a str or a path of str, not {}".format(
            type(text).__name__))
    if not text.strip():
        raise ValueError("empty queue target {!r}: a target is {}".format(text, ACCEPTED_TARGETS))
    url = _URL_LIKE.match(text)
    if url and not is_redis_url(text):
        shown = _PASSWORD.sub(r"\1***@", text)
        scheme = url.group(1).lower()
        why = ("a Redis URL starts with {}:// (two slashes)".format(scheme) if scheme in SCHEMES
               else "{}: is not a Redis scheme".format(url.group(1)))
        raise ValueError("{!r} is not a queue target: {}; a target is {}".format(
            shown, why, ACCEPTED_TARGETS))
    return text


def check_options(target: str, given: Iterable[str], own: Sequence[str] = ()) -> None:
    """TypeError naming the valid options, for an option that the queue at
    `target` (with the caller's `own` ones) does not take."""
    valid = list(own) + list(LOCAL_OPTIONS)
    redis = is_redis_url(target)
    if redis:
        valid += REDIS_OPTIONS
    for name in given:
        if name in valid:
            continue
        if name in REDIS_OPTIONS:
            why = "unknown option {!r} for {}: it is for Redis queues only".format(
                name, "a queue in memory" if target == ":memory:" else "a directory queue")
        else:
            why = "unknown option {!r}".format(name)
            close = difflib.get_close_matches(name, valid, n=1)
            if close:
                why += " (did you mean {!r}?)".format(close[0])
        raise TypeError("{}; the options are {}".format(why, ", ".join(valid)))


def is_redis(target: Target) -> bool:
    return is_redis_url(target_text(target))


def open_queue(target: Target, sync_interval_ms: Any = None, default_lease_ms: Any = None,
               auto_compact_bytes: Any = None, **backend_options: Any) -> FerrowQueue:
    """The queue at `target`. Options other than FerrowCore's belong to the
    Redis queue (`min_replicas`, `accept_server_policy`, ...); a local queue
    refuses them (TypeError naming the valid ones). A directory that cannot
    be opened raises the OSError subclass of its error number
    (`PermissionError`, `NotADirectoryError`, ...) with `errno`, `strerror`
    and `filename` set."""
    text = target_text(target)
    check_options(text, backend_options)
    if is_redis_url(text):
        from .redis import RedisQueue

        return RedisQueue(text, sync_interval_ms, default_lease_ms, auto_compact_bytes,
                          **backend_options)
    try:
        return ferrow.FerrowCore(text, sync_interval_ms, default_lease_ms, auto_compact_bytes)
    except OSError as exc:
        raise open_error(exc, text) from exc


def dead_letter_target(target: Target) -> str:
    """Where the dead letters of a queue go: the directory DIR.dead beside a
    directory, the queue NAME.dead on the same servers for a Redis queue, and
    another queue in memory for ":memory:" (never a directory of that name)."""
    text = target_text(target)
    if text == MEMORY:
        return MEMORY
    if is_redis_url(text):
        parsed = parse(text)
        return with_queue(parsed, parsed.queue + DEAD_SUFFIX)
    return dead_letter_dir(text)


def describe(target: Target) -> str:
    """The target for messages: a Redis URL without its password."""
    text = target_text(target)
    if not is_redis_url(text):
        return text
    try:
        return parse(text).describe()
    except ValueError:  # said by whoever parses it next; here only named
        return _PASSWORD.sub(r"\1***@", text)
