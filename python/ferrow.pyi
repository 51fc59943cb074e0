# Type information for the compiled `ferrow` module.
#
# The same file is installed twice: as `ferrow.pyi` beside the module (found by
# checkers that look next to an installed module) and as
# `ferrow-stubs/__init__.pyi` (a stub-only package, which is how mypy finds the
# types of a top-level extension module that is not a package).
#
# Typing syntax stays within what Python 3.8 tools understand.
from typing import (
    List,
    Optional,
    Protocol,
    Sequence,
    SupportsIndex,
    Tuple,
    TypedDict,
    Union,
    final,
    type_check_only,
)

__version__: str
__all__ = ["FerrowCore", "__version__"]

# Anything the body conversion accepts: any sequence of byte values 0-255,
# str excluded. Items may be any object with `__index__` (e.g. numpy ints).
_BytesLike = Union[bytes, bytearray, memoryview, Sequence[SupportsIndex]]
# Ids, counts and lease lengths accept any object with `__index__`.
_Index = SupportsIndex

# What `dequeue` returns: (seq, body, deliveries, enqueued_ts_ms). A plain
# tuple at run time, so this name exists for annotations only: import it under
# `if TYPE_CHECKING:` or quote the annotation.
DeliveredMessage = Tuple[int, bytes, int, int]

# The dicts of `stats()` and `verify_integrity()`. They are plain dicts at run
# time, so these names exist for annotations only, like DeliveredMessage.
@type_check_only
class FerrowStats(TypedDict):
    """The dict returned by `FerrowCore.stats()`."""

    ready: int
    in_flight: int
    total: int
    enqueued_total: int
    acked_total: int
    requeued_total: int
    dead_total: int
    next_seq: int
    live_bytes: int
    log_bytes: int
    generation: int
    persistent: bool

@type_check_only
class IntegrityReport(TypedDict):
    """The dict returned by `FerrowCore.verify_integrity()`."""

    ok: bool
    records: int
    bytes: int
    message: str

@final
class FerrowCore:
    """A durable lease-based queue in a directory, or ":memory:"."""

    def __new__(
        cls,
        path: str,
        sync_interval_ms: Optional[_Index] = None,
        default_lease_ms: Optional[_Index] = None,
        auto_compact_bytes: Optional[_Index] = None,
    ) -> "FerrowCore": ...
    def enqueue(self, body: _BytesLike) -> int:
        """Append a message; returns its monotonic sequence id (the ack/nack handle)."""
    def enqueue_batch(self, bodies: Sequence[_BytesLike]) -> List[int]:
        """Append many messages under a single lock + single fsync. Returns the
        assigned sequence ids in order."""
    def dequeue(self, lease_ms: Optional[_Index] = None) -> Optional[DeliveredMessage]:
        """Lease the next ready message for `lease_ms` (or the queue default).
        Returns `(seq, body, deliveries, enqueued_ts_ms)` or `None` if empty."""
    def dequeue_batch(self, max: _Index, lease_ms: Optional[_Index] = None) -> List[DeliveredMessage]:
        """Lease up to `max` ready messages at once."""
    def ack(self, seq: _Index) -> bool:
        """Acknowledge (permanently remove) a message. Returns whether it existed."""
    def ack_batch(self, seqs: Sequence[_Index]) -> int:
        """Acknowledge many messages; returns how many were present."""
    def nack(self, seq: _Index, requeue: bool = True) -> bool:
        """Hand a message back (`requeue=True`) or drop it. Returns whether it existed."""
    def extend_lease(self, seq: _Index, lease_ms: Optional[_Index] = None) -> bool:
        """Renew the lease on an in-flight message without redelivering it."""
    def available(self) -> int:
        """Number of messages ready for immediate delivery."""
    def in_flight(self) -> int:
        """Number of leased (in-flight, not-yet-acked) messages."""
    def stats(self) -> FerrowStats:
        """Counts, counters and sizes of the queue."""
    def flush(self) -> None:
        """Force a flush + fsync of any buffered records."""
    def compact(self) -> None:
        """Rewrite the log keeping only live messages, reclaiming acked space."""
    def purge(self) -> None:
        """Remove every message and reset the log (a fresh generation)."""
    def verify_integrity(self) -> IntegrityReport:
        """Re-read the whole log, CRC-verifying every record."""

# The methods every Ferrow queue has: FerrowCore, and the Redis queue that
# `ferrow_tools.open_queue` returns for a Redis URL. Ask for this where either
# will do. It exists for annotations only, like DeliveredMessage.
@type_check_only
class FerrowQueue(Protocol):
    def enqueue(self, body: _BytesLike) -> int: ...
    def enqueue_batch(self, bodies: Sequence[_BytesLike]) -> List[int]: ...
    def dequeue(self, lease_ms: Optional[_Index] = None) -> Optional[DeliveredMessage]: ...
    def dequeue_batch(self, max: _Index, lease_ms: Optional[_Index] = None) -> List[DeliveredMessage]: ...
    def ack(self, seq: _Index) -> bool: ...
    def ack_batch(self, seqs: Sequence[_Index]) -> int: ...
    def nack(self, seq: _Index, requeue: bool = True) -> bool: ...
    def extend_lease(self, seq: _Index, lease_ms: Optional[_Index] = None) -> bool: ...
    def available(self) -> int: ...
    def in_flight(self) -> int: ...
    def stats(self) -> FerrowStats: ...
    def flush(self) -> None: ...
    def compact(self) -> None: ...
    def purge(self) -> None: ...
    def verify_integrity(self) -> IntegrityReport: ...
