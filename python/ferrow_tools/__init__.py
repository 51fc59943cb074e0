"""The companion package of `ferrow`: `Queue` (message objects, blocking
`get`, serializers, `with` blocks) over any target, `aio.Queue` for asyncio,
workers, the Redis backend and `ferrow-admin`.

The public names are imported here:

    from ferrow_tools import open_queue, Queue, Worker

`ferrow_tools.aio.Queue` is the asyncio queue; the task frameworks live in
`ferrow_tools.integrations` and the Redis backend in `ferrow_tools.redis`."""

try:
    from importlib.metadata import version as _version

    __version__ = _version("ferrow")
except Exception:  # not installed as a distribution (run from a source tree)
    __version__ = "unknown"

from .client import Message, Queue, QueueClosed
from .leases import LeaseLost, RetryPolicy
from .targets import open_queue
from .worker import Worker

__all__ = ["__version__", "open_queue", "Queue", "Message", "QueueClosed", "Worker",
           "RetryPolicy", "LeaseLost"]
