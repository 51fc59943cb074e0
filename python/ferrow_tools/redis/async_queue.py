"""`AsyncRedisQueue`: the calls of a `RedisQueue` as coroutines, over a
client of redis-py's asyncio API.

It runs the steps of the blocking queue's own calls (the same argument
conversions, the same scripts, the same reading of the replies), so the two
cannot drift apart. No command is cancelled halfway (see
`ferrow_tools.shielding`): a cancelled caller waits for the reply, which
comes within MAX_BLOCK_S for a blocking wait. Opening checks the server's
policy through the blocking queue, which stays open beside it: that is one
round trip or two when the queue opens, and the blocking queue serves those
who need one (the lease renewal thread of `keep_lease`, the dead letters).
"""
from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any, List, Optional, Sequence

from ..shielding import run_to_end
from .connection import make_client, node_runner
from .errors import mapped_errors
from .queue import READ, RedisQueue, Steps, R, wait_steps
from .scripts import AsyncScripts

if TYPE_CHECKING:
    from ferrow import DeliveredMessage, FerrowStats


class AsyncRedisQueue:
    def __init__(self, blocking: RedisQueue) -> None:
        self.blocking = blocking
        self.where = blocking.where
        with mapped_errors(self.where):
            self._client = make_client(blocking.target, blocking.socket_timeout, asyncio=True)
            self._run_on_node = node_runner(self._client, blocking.keys[0])
        self._scripts = AsyncScripts(self._client)

    def __repr__(self) -> str:
        return "AsyncRedisQueue({!r})".format(self.where)

    async def _call(self, name: str, args: Sequence[Any], write: bool) -> Any:
        return await run_to_end(self._exchange(name, args, write))

    async def _exchange(self, name: str, args: Sequence[Any], write: bool) -> Any:
        q = self.blocking
        waits = q._waits if write else []
        with mapped_errors(self.where):
            if not waits:
                return await self._scripts.run(name, q.keys, args)
            if q._pipelined:
                result, *confirmations = await self._scripts.run_with(name, q.keys, args, waits)
            else:
                result = await self._scripts.run(name, q.keys, args)
                confirmations = [await self._run_on_node(*wait) for wait in waits]
        q.check_confirmations(confirmations)
        return result

    async def _run(self, steps: Steps[R]) -> R:
        try:
            request = next(steps)
            while True:
                request = steps.send(await self._call(*request))
        except StopIteration as done:
            return done.value  # type: ignore[no-any-return]

    async def enqueue(self, body: Any) -> int:
        return await self._run(self.blocking.enqueue_steps(body))

    async def enqueue_batch(self, bodies: Any) -> List[int]:
        return await self._run(self.blocking.enqueue_batch_steps(bodies))

    async def dequeue(self, lease_ms: Any = None) -> Optional[DeliveredMessage]:
        return await self._run(self.blocking.dequeue_steps(lease_ms))

    async def dequeue_batch(self, max: Any, lease_ms: Any = None) -> List[DeliveredMessage]:
        return await self._run(self.blocking.dequeue_batch_steps(max, lease_ms))

    async def ack(self, seq: Any) -> bool:
        return await self._run(self.blocking.ack_steps(seq))

    async def nack(self, seq: Any, requeue: Any = True) -> bool:
        return await self._run(self.blocking.nack_steps(seq, requeue))

    async def extend_lease(self, seq: Any, lease_ms: Any = None) -> bool:
        return await self._run(self.blocking.extend_lease_steps(seq, lease_ms))

    async def available(self) -> int:
        return await self._run(self.blocking.available_steps())

    async def stats(self) -> FerrowStats:
        return await self._run(self.blocking.stats_steps())

    async def wait_until_ready(self, timeout_s: float) -> None:
        """As `RedisQueue.wait_until_ready`, without holding the event loop."""
        with mapped_errors(self.where):
            until_lapse_ms = int(await self._call("next_deadline", [], READ))
            block, sleep = wait_steps(timeout_s, until_lapse_ms)
            if block > 0:
                # A cancelled wait ends when the server answers, within
                # MAX_BLOCK_S (see shielding.py).
                await run_to_end(self._client.blpop([self.blocking.wake_key], block))
        if sleep > 0:
            await asyncio.sleep(sleep)

    async def close(self) -> None:
        """Closes the asyncio client; the blocking queue is the caller's."""
        with mapped_errors(self.where):
            closing = getattr(self._client, "aclose", None) or self._client.close
            await closing()
