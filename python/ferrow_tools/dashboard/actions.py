"""What the dashboard changes, when it was started with a token: these open
the queue like any client (the reading side never does)."""
import os
from contextlib import contextmanager
from typing import TYPE_CHECKING, Iterator, List, NamedTuple, Optional

from ..deadletter import decode as decode_dead_letter
from ..files.logfile import LOG_NAME
from ..targets import is_redis, open_queue
from .grouping import DEAD_SUFFIX
from .source import Source, UnknownQueue

if TYPE_CHECKING:
    from ferrow import FerrowQueue

ACTIONS = ("requeue", "requeue-all", "drop", "drop-dead", "purge", "compact")


class Outcome(NamedTuple):
    done: bool
    text: str


@contextmanager
def opened(target: str) -> Iterator["FerrowQueue"]:
    if not is_redis(target) and not os.path.isfile(os.path.join(target, LOG_NAME)):
        # Gone since it was found: opening would create an empty queue.
        raise UnknownQueue(target)
    # The dashboard moves messages that producers already wrote: the server's
    # durability policy was the producers' choice, not the dashboard's.
    q = open_queue(target, accept_server_policy=True) if is_redis(target) else open_queue(target)
    try:
        yield q
    finally:
        close = getattr(q, "close", None)
        if close is not None:
            close()
        del q


def requeue(source: Source, name: str, seqs: Optional[List[int]]) -> Outcome:
    """Moves dead letters (all when `seqs` is None) back into their queue:
    enqueued first and acknowledged in NAME.dead after, so a failure in
    between leaves a message in both queues, never in neither."""
    bodies = source.dead_letter_bodies(name, seqs)
    if not bodies:
        return Outcome(False, "no such dead letter in {}".format(name))
    moved = 0
    problems: List[str] = []
    with opened(source.target(name)) as q, opened(source.target(name + DEAD_SUFFIX)) as dead:
        for seq in sorted(bodies):
            try:
                body = decode_dead_letter(bodies[seq]).body
            except ValueError as e:
                problems.append("{}: {}".format(seq, e))
                continue
            new_seq = q.enqueue(body)
            if dead.ack(seq):
                moved += 1
            else:
                problems.append("{}: removed by another process meanwhile (enqueued as {} "
                                "all the same)".format(seq, new_seq))
    text = "requeued {} dead letter{} into {}".format(moved, "" if moved == 1 else "s", name)
    if problems:
        text += "; left: " + "; ".join(problems)
    return Outcome(moved > 0, text)


def drop(source: Source, name: str, seq: int) -> Outcome:
    """Removes one message (of a queue, or of a dead-letter queue by its name)."""
    with opened(source.target(name)) as q:
        if q.ack(seq):
            return Outcome(True, "dropped message {} of {}".format(seq, name))
    return Outcome(False, "{} has no message {}".format(name, seq))


def purge(source: Source, name: str) -> Outcome:
    with opened(source.target(name)) as q:
        total = q.stats()["total"]
        q.purge()
    return Outcome(True, "purged {}: {} messages removed".format(name, total))


def compact(source: Source, name: str) -> Outcome:
    with opened(source.target(name)) as q:
        q.compact()
    return Outcome(True, "compacted {}".format(name))


def run(source: Source, action: str, name: str, seq: Optional[int]) -> Outcome:
    """Raises UnknownQueue for a queue that is not at the target, ValueError
    for an action without the id it needs."""
    try:
        return run_action(source, action, name, seq)
    finally:
        source.forget(name)
        source.forget(name + DEAD_SUFFIX)


def run_action(source: Source, action: str, name: str, seq: Optional[int]) -> Outcome:
    if action in ("requeue", "drop", "drop-dead") and seq is None:
        raise ValueError("{} needs the id of a message".format(action))
    if action == "requeue":
        return requeue(source, name, [seq] if seq is not None else [])
    if action == "requeue-all":
        return requeue(source, name, None)
    if action == "drop":
        assert seq is not None
        return drop(source, name, seq)
    if action == "drop-dead":
        assert seq is not None
        return drop(source, name + DEAD_SUFFIX, seq)
    if action == "purge":
        return purge(source, name)
    if action == "compact":
        return compact(source, name)
    raise UnknownQueue(action)
