"""Which queues belong to which: a queue's dead letters live in the queue
NAME.dead, and helper queues that other layers keep beside a queue (the
delay queue NAME.DQ of the dramatiq broker, for one) are shown as part of
their queue. The naming rule is this table alone, so that a layer adding
sub-queues adds a line here.
"""
from typing import Dict, List, NamedTuple, Optional

DEAD_SUFFIX = ".dead"

# Suffix of a sub-queue's name -> what it holds, as the dashboard shows it.
SUBQUEUE_SUFFIXES: Dict[str, str] = {
    ".DQ": "delayed",
}


class QueueGroup(NamedTuple):
    """A queue as the dashboard lists it: its name, its dead-letter queue's
    name if that exists, and its sub-queues by role."""

    name: str
    dead: Optional[str]
    subqueues: Dict[str, str]  # role -> queue name


def parent_of(name: str) -> Optional[str]:
    """The queue that `name` belongs to when it is a dead-letter or sub-queue."""
    for suffix in (DEAD_SUFFIX, *SUBQUEUE_SUFFIXES):
        if name.endswith(suffix) and len(name) > len(suffix):
            return name[:-len(suffix)]
    return None


def group(names: List[str]) -> List[QueueGroup]:
    """The queues found, each with its dead letters and sub-queues; a
    dead-letter or sub-queue whose main queue does not exist is listed as a
    queue of its own, so that nothing found is hidden."""
    present = set(names)
    groups: List[QueueGroup] = []
    for name in sorted(present):
        parent = parent_of(name)
        if parent is not None and parent in present:
            continue
        dead = name + DEAD_SUFFIX
        subqueues = {role: name + suffix for suffix, role in SUBQUEUE_SUFFIXES.items()
                     if name + suffix in present}
        groups.append(QueueGroup(name, dead if dead in present else None, subqueues))
    return groups
