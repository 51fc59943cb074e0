"""Which queues belong to which: a queue's dead letters live in the queue
NAME.dead, and the helper queues that other layers keep beside a queue are
shown as part of it: the scheduled messages of priority level L in NAME.pL,
and the dramatiq broker's delay queue NAME.DQ. The naming rules are the
table and the pattern below alone, so that a layer adding sub-queues adds a
line here.
"""
import re
from typing import Dict, List, NamedTuple, Optional, Tuple

DEAD_SUFFIX = ".dead"

# Suffix of a sub-queue's name -> what it holds, as the dashboard shows it.
SUBQUEUE_SUFFIXES: Dict[str, str] = {
    ".DQ": "delayed",
}
# NAME.pL: the scheduled messages of level L.
LEVEL_PATTERN = re.compile(r"^(?P<parent>.+)\.p(?P<level>[0-9]+)$")


class QueueGroup(NamedTuple):
    """A queue as the dashboard lists it: its name, its dead-letter queue's
    name if that exists, and its sub-queues by role."""

    name: str
    dead: Optional[str]
    subqueues: Dict[str, str]  # role -> queue name


def parent_of(name: str) -> Optional[Tuple[str, str]]:
    """(the queue that `name` belongs to, its role there) when `name` is a
    dead-letter or sub-queue by its name."""
    if name.endswith(DEAD_SUFFIX) and len(name) > len(DEAD_SUFFIX):
        return name[:-len(DEAD_SUFFIX)], "dead letters"
    for suffix, role in SUBQUEUE_SUFFIXES.items():
        if name.endswith(suffix) and len(name) > len(suffix):
            return name[:-len(suffix)], role
    level = LEVEL_PATTERN.match(name)
    if level is not None:
        return level.group("parent"), "level {}".format(int(level.group("level")))
    return None


def group(names: List[str]) -> List[QueueGroup]:
    """The queues found, each with its dead letters and sub-queues; a
    dead-letter or sub-queue whose main queue does not exist is listed as a
    queue of its own, so that nothing found is hidden."""
    present = set(names)
    groups: Dict[str, QueueGroup] = {}
    belongs: List[Tuple[str, str, str]] = []
    for name in sorted(present):
        found = parent_of(name)
        if found is not None and found[0] in present:
            belongs.append((name, found[0], found[1]))
        else:
            groups[name] = QueueGroup(name, None, {})
    for name, parent, role in belongs:
        owner = groups.get(parent)
        if owner is None:  # the parent is itself a sub-queue of another
            groups[name] = QueueGroup(name, None, {})
        elif role == "dead letters":
            groups[parent] = owner._replace(dead=name)
        else:
            owner.subqueues[role] = name
    return [groups[name] for name in sorted(groups)]
