"""Ferrow queues kept by a Redis server (`pip install 'ferrow[redis]'`).

Importing this package does not import the client library; opening a queue
does, and names the extra when it is missing.
"""
from .queue import RedisQueue
from .url import is_redis_url

__all__ = ["RedisQueue", "is_redis_url"]
