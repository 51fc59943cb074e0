"""The companion package of `ferrow`: `Queue` (message objects, blocking
`get`, serializers, `with` blocks) over any target, `aio.Queue` for asyncio,
workers, the Redis backend and `ferrow-admin`."""

try:
    from importlib.metadata import version as _version

    __version__ = _version("ferrow")
except Exception:  # not installed as a distribution (run from a source tree)
    __version__ = "unknown"

from .client import Message, Queue, QueueClosed
from .leases import LeaseLost, RetryPolicy

__all__ = ["__version__", "Queue", "Message", "QueueClosed", "RetryPolicy", "LeaseLost"]
