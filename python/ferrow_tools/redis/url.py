"""Redis targets: the URL forms that `open_queue` takes for a Redis queue.

    redis://[user:password@]host:port[/db]?queue=NAME            one server
    rediss://...                                                 the same over TLS
    redis+sentinel://[user:password@]host:port[,host:port...][/db]?queue=NAME&service=MASTER
    redis+cluster://[user:password@]host:port[,host:port...]?queue=NAME

`rediss+sentinel://` and `rediss+cluster://` use TLS. Other query parameters
are options of the queue (see `RedisOptions`); keyword arguments given to
`open_queue` win over them.
"""
from __future__ import annotations

import urllib.parse
from typing import Dict, List, NamedTuple, Optional, Tuple

SCHEMES = ("redis", "rediss", "redis+sentinel", "rediss+sentinel", "redis+cluster",
           "rediss+cluster")
# The options of a Redis queue, given as query parameters or keywords.
QUEUE_OPTIONS = ("min_replicas", "wait_timeout_ms", "accept_server_policy", "socket_timeout")
DEFAULT_PORT = 6379
DEFAULT_SENTINEL_PORT = 26379


class RedisTarget(NamedTuple):
    kind: str  # "server", "sentinel" or "cluster"
    tls: bool
    hosts: List[Tuple[str, int]]
    db: int
    username: Optional[str]
    password: Optional[str]
    queue: str
    service: Optional[str]
    options: Dict[str, str]

    def describe(self) -> str:
        """Where the queue lives, without the password, for error texts."""
        hosts = ",".join("{}:{}".format(h, p) for h, p in self.hosts)
        scheme = ("rediss" if self.tls else "redis") + ("" if self.kind == "server"
                                                         else "+" + self.kind)
        return "{}://{}/{}?queue={}".format(scheme, hosts, self.db, self.queue)

    def sibling(self, queue: str) -> str:
        """The URL of another queue on the same servers (with the password)."""
        return with_queue(self, queue)


def is_redis_url(target: str) -> bool:
    return target.split("://", 1)[0].lower() in SCHEMES and "://" in target


def check_queue_name(name: str) -> str:
    # The name goes inside the keys' hash tag, which ends at the first "}".
    if not name or "{" in name or "}" in name:
        raise ValueError("a Redis queue name must be non-empty and hold no braces: {!r}"
                         .format(name))
    return name


def _hosts(netloc: str, default_port: int) -> List[Tuple[str, int]]:
    hosts = []
    for part in netloc.split(","):
        if not part:
            raise ValueError("empty host in a Redis URL")
        if part.startswith("["):
            host, _, rest = part[1:].partition("]")
            port_text = rest[1:] if rest.startswith(":") else ""
        else:
            host, _, port_text = part.rpartition(":") if ":" in part else (part, "", "")
        try:
            port = int(port_text) if port_text else default_port
        except ValueError:
            raise ValueError("bad port {!r} in a Redis URL".format(port_text)) from None
        if not 0 < port < 65536:
            raise ValueError("port {} out of range in a Redis URL".format(port))
        hosts.append((host, port))
    return hosts


def parse(url: str) -> RedisTarget:
    """Raises ValueError naming what is wrong with the URL."""
    scheme, _, rest = url.partition("://")
    scheme = scheme.lower()
    if scheme not in SCHEMES:
        raise ValueError("not a Redis URL: {!r}".format(url))
    kind = scheme.partition("+")[2] or "server"
    # A password holding "/", "?" or "@" must be percent-encoded.
    main, _, query = rest.partition("?")
    netloc, _, path = main.partition("/")
    username = password = None
    if "@" in netloc:
        userinfo, _, netloc = netloc.rpartition("@")
        user, sep, secret = userinfo.partition(":")
        username = urllib.parse.unquote(user) or None
        password = urllib.parse.unquote(secret) if sep else None
        if not sep and username is not None:  # redis://secret@host: a password alone
            username, password = None, username
    hosts = _hosts(netloc, DEFAULT_SENTINEL_PORT if kind == "sentinel" else DEFAULT_PORT)
    if kind == "server" and len(hosts) != 1:
        raise ValueError("a redis:// URL names one server; use redis+sentinel:// or "
                         "redis+cluster:// for several")
    try:
        db = int(path) if path else 0
    except ValueError:
        raise ValueError("bad database number {!r} in a Redis URL".format(path)) from None
    if kind == "cluster" and db != 0:
        raise ValueError("a Redis Cluster has database 0 only")
    options = dict(urllib.parse.parse_qsl(query, keep_blank_values=True, strict_parsing=False))
    queue = options.pop("queue", None)
    if queue is None:
        raise ValueError("a Redis URL must name the queue: add ?queue=NAME")
    service = options.pop("service", None)
    if kind == "sentinel" and not service:
        raise ValueError("a redis+sentinel:// URL must name the primary: add &service=NAME")
    for name in options:
        if name not in QUEUE_OPTIONS:
            raise ValueError("unknown parameter {!r} in a Redis URL; it takes queue, service (for "
                             "redis+sentinel://) and {}".format(name, ", ".join(QUEUE_OPTIONS)))
    return RedisTarget(kind, scheme.startswith("rediss"), hosts, db, username, password,
                       check_queue_name(queue), service, options)


def with_queue(target: RedisTarget, queue: str) -> str:
    scheme = ("rediss" if target.tls else "redis") + ("" if target.kind == "server"
                                                       else "+" + target.kind)
    auth = ""
    if target.username is not None or target.password is not None:
        auth = urllib.parse.quote(target.username or "", safe="")
        if target.password is not None:
            auth += ":" + urllib.parse.quote(target.password, safe="")
        auth += "@"
    hosts = ",".join("[{}]:{}".format(h, p) if ":" in h else "{}:{}".format(h, p)
                     for h, p in target.hosts)
    query = dict(target.options, queue=queue)
    if target.service is not None:
        query["service"] = target.service
    return "{}://{}{}/{}?{}".format(scheme, auth, hosts, target.db,
                                    urllib.parse.urlencode(query))
