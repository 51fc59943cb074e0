"""Where the sub-queues of a queue live.

A local queue NAME (a directory) keeps its plain messages in NAME itself and
every scheduled message (one with a delay, an expiry, or a priority) of
level L in the sibling directory NAME.pL, as the dead letters live in
NAME.dead. On Redis everything stays in the queue's own keys,
``ferrow:{NAME}:*`` (one hash tag, so one script reaches it all); the ready
messages of level L that were put with an option are in ``ferrow:{NAME}:ready:L``.

The rule for tools that group them: a directory whose name is another
queue's name followed by ``.p`` and decimal digits, or by ``.dead``, belongs
to that queue; see `sub_queue_parent`.
"""
from __future__ import annotations

import os
import re
from typing import Optional, Tuple

LEVEL_SUFFIX = ".p"
DEAD_SUFFIX = ".dead"
_SUB_NAME = re.compile(r"^(?P<queue>.+)(?:\.p(?P<level>0|[1-9][0-9]*)|\.dead)$")


def level_dir(queue_dir: str, level: int) -> str:
    """The directory of the scheduled messages of `level` of a queue directory."""
    return "{}{}{}".format(os.path.normpath(queue_dir), LEVEL_SUFFIX, level)


def sub_queue_parent(path: str) -> Optional[Tuple[str, str]]:
    """(queue directory, "pL" or "dead") when `path` names a sub-queue
    directory by the rule above, else None. Says nothing about whether the
    directories exist."""
    base = os.path.basename(os.path.normpath(path))
    match = _SUB_NAME.match(base)
    if match is None:
        return None
    parent = os.path.join(os.path.dirname(os.path.normpath(path)), match.group("queue"))
    kind = "dead" if match.group("level") is None else "p" + match.group("level")
    return parent, kind


def level_dirs(queue_dir: str) -> "list[Tuple[int, str]]":
    """The level sub-queues of a queue directory that exist, by level."""
    parent = os.path.dirname(os.path.normpath(queue_dir)) or "."
    prefix = os.path.basename(os.path.normpath(queue_dir)) + LEVEL_SUFFIX
    found = []
    try:
        names = os.listdir(parent)
    except OSError:
        return []
    for name in names:
        rest = name[len(prefix):]
        if name.startswith(prefix) and rest.isdigit() and str(int(rest)) == rest:
            path = os.path.join(parent, name)
            if os.path.isdir(path):
                found.append((int(rest), path))
    return sorted(found)
