"""The broker URLs of the kombu transport: "ferrow:///dir" names a base
directory, "ferrow+redis://host:port/db" (and the other Redis schemes after
"ferrow+") a Redis base."""
from __future__ import annotations

import re
from typing import Any

from .named_queues import check_base
from ..targets import is_redis

__all__ = ["SCHEME", "REDIS_PREFIX", "base_target", "broker_target", "mask_password"]

SCHEME = "ferrow://"
REDIS_PREFIX = "ferrow+"


def base_target(url: str) -> str:
    """The directory or Redis URL behind a broker URL: "ferrow:///abs/dir" or
    "ferrow+redis://..." (which kombu hands over without "ferrow+")."""
    if url.startswith(REDIS_PREFIX):
        url = url[len(REDIS_PREFIX):]
    if url.startswith(SCHEME):
        if len(url) == len(SCHEME):
            raise ValueError("a ferrow:// broker URL names a directory: ferrow:///path/to/dir")
        return url[len(SCHEME):]
    if is_redis(url):
        return check_base(url)
    raise ValueError("not a Ferrow broker URL: {!r} (ferrow:///path/to/dir or "
                     "ferrow+redis://host:port/db)".format(mask_password(url)))


def broker_target(client: Any) -> str:
    """The base of a kombu connection. kombu hands the URL over whole, except
    after a failover, where it hands it over parsed into its parts."""
    hostname = client.hostname or ""
    if "://" in hostname:
        return base_target(hostname)
    scheme = client.transport_cls if isinstance(client.transport_cls, str) else "ferrow"
    vhost = (client.virtual_host or "").lstrip("/")
    if not scheme.startswith(REDIS_PREFIX):
        return base_target(SCHEME + "/" + vhost)
    auth = ""
    if client.userid or client.password:
        auth = "{}:{}@".format(client.userid or "", client.password or "")
    return base_target("{}://{}{}:{}/{}".format(scheme[len(REDIS_PREFIX):], auth, hostname,
                                                 client.port or 6379, vhost or "0"))


def mask_password(url: str, mask: str = "**") -> str:
    return re.sub(r"://([^:@/]*):[^@/]*@", r"://\1:{}@".format(mask), url, count=1)
