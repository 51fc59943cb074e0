"""Leases of messages that a framework holds without working on them yet.

Task frameworks take more messages than they run at once: prefetched
messages wait in memory for a free worker. (Messages due later, a countdown,
an ETA, a delay, wait in the queue instead, see `ferrow_tools.scheduling`:
they are delivered when due.) A lease that lapsed meanwhile would deliver
the message a second time. `HeldLeases` keeps
every held message's lease alive from one background thread, forgets a
message when it is acknowledged or handed back, and hands back whatever is
still held when the process stops.

Each held lease is a `ferrow_tools.leases.Lease`, renewed as `keep_lease`
renews the message of a running job: it counts as lost once it ran out by
this process's clock before it could be renewed (the process stalled), or
when `extend_lease` says the message is no longer in flight, and a lost
message is never extended again, since another consumer may hold it by then.
"""
from __future__ import annotations

import logging
import threading
import time
from typing import TYPE_CHECKING, Dict, List, Optional, Tuple

from ..leases import Lease, Renewals
from ..scheduling import Levels, Taken

if TYPE_CHECKING:
    from ferrow import FerrowQueue

__all__ = ["HeldLeases"]

log = logging.getLogger("ferrow_tools.integrations.held_leases")

# Renewals per lease length: three leave two chances to renew before a lapse.
RENEWALS_PER_LEASE = 3

_Key = Tuple[int, int]  # (id of the queue object, message id)


class HeldLeases:
    """The held messages of one process, renewed every `lease_ms / 3`."""

    def __init__(self, lease_ms: int) -> None:
        if lease_ms <= 0:
            raise ValueError("lease_ms must be > 0, not {!r}".format(lease_ms))
        self.lease_ms = lease_ms
        self.interval_s = lease_ms / 1000.0 / RENEWALS_PER_LEASE
        self.lost = 0
        self._held: Dict[_Key, Lease] = {}
        self._lock = threading.Lock()
        self._closed = False
        self._renewals: Optional[Renewals] = None

    def take(self, levels: Levels, count: int) -> List[Taken]:
        """Leases up to `count` deliverable messages across the levels of a
        queue (`ferrow_tools.scheduling`) and holds each in its sub-queue."""
        if count <= 0:
            return []
        leased_at = time.monotonic()
        taken = levels.take(count, self.lease_ms)
        for t in taken:
            self.hold(t.core, t.delivered[0], leased_at)
        return taken

    def hold(self, q: FerrowQueue, seq: int, leased_at: float) -> None:
        """Keeps the lease of message `seq` of `q` alive from now on."""
        with self._lock:
            self._held[(id(q), seq)] = Lease(q, seq, self.lease_ms, leased_at)
            if self._renewals is None and not self._closed:
                self._renewals = Renewals(self.interval_s, self.renew, "ferrow-held-leases")

    def release(self, q: FerrowQueue, seq: int) -> bool:
        """Stops renewing message `seq` (the caller acks or hands it back
        next); False if it was not held, or its lease was lost."""
        with self._lock:
            return self._held.pop((id(q), seq), None) is not None

    def __len__(self) -> int:
        return len(self._held)

    def hand_back_all(self) -> int:
        """Hands every held message back at once (`nack`); returns how many
        were still in flight."""
        with self._lock:
            held = list(self._held.values())
            self._held.clear()
        return sum(1 for lease in held if not lease.expired() and lease.q.nack(lease.seq))

    def close(self) -> int:
        """Stops the renewals and hands back what is held."""
        with self._lock:
            self._closed = True
            renewals = self._renewals
        if renewals is not None:
            renewals.stop()
        return self.hand_back_all()

    def renew(self) -> bool:
        """Extends every held lease once (the background thread calls it)."""
        with self._lock:
            held: List[Tuple[_Key, Lease]] = list(self._held.items())
        for key, lease in held:
            if not lease.renew() and lease.lost is not None:
                self._forget_lost(key, lease.lost)
        return True

    def _forget_lost(self, key: _Key, why: str) -> None:
        with self._lock:
            # Released meanwhile (acked or handed back): nothing was lost.
            if self._held.pop(key, None) is None:
                return
            self.lost += 1
        log.warning("lease of held message %d lost (%s); it may be delivered again",
                    key[1], why)
