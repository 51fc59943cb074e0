"""What a dashboard reads from its target, whatever the kind: the queues
found there, each one's figures, a page of its messages and its dead
letters. directory_source.py and redis_source.py read them without changing
a queue; the actions (actions.py) open the queues like a client.
"""
from typing import Dict, List, NamedTuple, Optional, Protocol

from ..deadletter import DeadLetter
from .figures import QueueFigures
from .grouping import QueueGroup
from .preview import Preview

PAGE_SIZE = 50
# Bytes of each body that a search by substring looks at.
SEARCH_BYTES = 1 << 20
# Bytes of a dead letter read to find its header line.
DEAD_HEADER_BYTES = 4096


class MessageRow(NamedTuple):
    seq: int
    deliveries: int
    enqueued_ts_ms: int
    deadline_ms: Optional[int]  # None when ready
    body_len: int
    preview: Preview


class DeadLetterRow(NamedTuple):
    seq: int  # its id in NAME.dead
    header: Optional[DeadLetter]  # None when the body is not a dead letter
    error: Optional[str]
    body_len: int  # of the original body
    preview: Preview


class MessagePage(NamedTuple):
    rows: List[MessageRow]
    matching: int  # messages that match the search, over all pages
    first: int  # index of the first row among the matching ones


class Search(NamedTuple):
    seq: Optional[int]
    text: bytes  # empty: no body search

    def matches_all(self) -> bool:
        return self.seq is None and not self.text


class Source(Protocol):
    kind: str  # "directory" or "redis"
    where: str  # the target, without a password

    def groups(self) -> List[QueueGroup]: ...

    def figures(self, name: str) -> QueueFigures: ...

    def enqueues_per_minute(self, name: str) -> Optional[Dict[int, int]]: ...

    def messages(self, name: str, search: Search, first: int, count: int) -> MessagePage: ...

    def dead_letters(self, name: str) -> List[DeadLetterRow]: ...

    def dead_letter_bodies(self, name: str, seqs: Optional[List[int]]) -> Dict[int, bytes]: ...

    def target(self, name: str) -> str: ...

    def forget(self, name: str) -> None: ...

    def close(self) -> None: ...


class UnknownQueue(KeyError):
    """No queue of that name at the target."""
