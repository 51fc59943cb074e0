"""Work that a cancellation must not cut in half.

A redis-py asyncio command cancelled in the middle can leave its connection
waiting for a reply that was already read, and a dequeue cancelled after the
server ran it leaves messages leased that nobody holds. So the asyncio queue
lets such work finish and lets the cancellation go on after it.
"""
from __future__ import annotations

import asyncio
from typing import Awaitable, Callable, Optional, TypeVar

T = TypeVar("T")


async def run_to_end(work: Awaitable[T],
                     after_cancel: Optional[Callable[[T], Awaitable[None]]] = None) -> T:
    """Awaits `work` to its end even when the caller is cancelled meanwhile;
    then, on a cancellation, awaits `after_cancel(result)` and lets the
    cancellation go on."""
    task = asyncio.ensure_future(work)
    try:
        return await asyncio.shield(task)
    except asyncio.CancelledError:
        result = await task
        if after_cancel is not None:
            await after_cancel(result)
        raise
