"""The redis-py client of a Redis target: one server, a Sentinel-watched
primary or a Cluster.

Retries are off: a script whose reply was lost may have run, and running an
enqueue again would add its messages twice. A failed call raises; the next
call connects again (to the new primary, behind Sentinel or a Cluster).
"""
from __future__ import annotations

import importlib
from typing import Any, Callable, Dict

from .url import RedisTarget

REDIS_EXTRA_HINT = "Redis queues need the redis client library: pip install 'ferrow[redis]'"


def import_redis(module: str = "redis") -> Any:
    """A module of the client library, typed loosely: the library is optional,
    so the package must type-check without it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(REDIS_EXTRA_HINT) from exc


def make_client(target: RedisTarget, socket_timeout: float, asyncio: bool = False) -> Any:
    """A client of the target: redis-py's blocking one, or its asyncio one."""
    lib = "redis.asyncio" if asyncio else "redis"
    redis = import_redis(lib)
    retry = import_redis(lib + ".retry").Retry(import_redis("redis.backoff").NoBackoff(), 0)
    common: Dict[str, Any] = dict(
        username=target.username, password=target.password, socket_timeout=socket_timeout,
        socket_connect_timeout=socket_timeout, retry=retry)
    if target.tls:
        common["ssl"] = True
    if target.kind == "cluster":
        cluster = import_redis(lib + ".cluster")
        nodes = [cluster.ClusterNode(host, port) for host, port in target.hosts]
        return cluster.RedisCluster(startup_nodes=nodes, **common)
    if target.kind == "sentinel":
        sentinel = import_redis(lib + ".sentinel").Sentinel(
            target.hosts, socket_timeout=socket_timeout,
            sentinel_kwargs={"socket_timeout": socket_timeout})
        assert target.service is not None
        return sentinel.master_for(target.service, db=target.db, **common)
    host, port = target.hosts[0]
    return redis.Redis(host=host, port=port, db=target.db, **common)


def node_runner(client: Any, key: str) -> Callable[..., Any]:
    """A function that sends a command to the server that holds `key`, for
    the commands without keys (INFO, CONFIG, WAIT) that must reach it."""
    if hasattr(client, "get_node_from_key"):  # a Cluster client, blocking or asyncio
        def run_on_node(*command: Any) -> Any:
            node = client.get_node_from_key(key)
            return client.execute_command(*command, target_nodes=node)
        return run_on_node
    return client.execute_command  # type: ignore[no-any-return]
