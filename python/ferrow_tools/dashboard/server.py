"""`ferrow-admin serve TARGET`: the dashboard on a local port."""
import os
import sys
from typing import Optional

from ..targets import is_redis
from .security import HostCheck, allowed_hosts, check_listen, is_loopback
from .source import Source


def open_source(target: str) -> Source:
    """The source of a target: a Redis URL without a queue, a base directory
    or one queue directory. Raises ValueError or OSError."""
    if is_redis(target):
        from .redis_source import RedisSource

        return RedisSource(target)
    if not os.path.isdir(target):
        raise ValueError("{}: no such directory".format(target))
    from .directory_source import DirectorySource

    return DirectorySource(target)


def serve(target: str, host: str, port: int, token: Optional[str]) -> None:
    """Runs until interrupted. Raises ValueError for a refused set-up."""
    check_listen(host, token)
    import uvicorn

    from .app import create_app

    source = open_source(target)
    app = create_app(source, token, port, sign_in_to_read=not is_loopback(host))
    sys.stderr.write("ferrow-admin: serving {} on http://{}:{}/ ({})\n".format(
        source.where, "[{}]".format(host) if ":" in host else host, port,
        "actions need the token" if token else "read-only"))
    sys.stderr.flush()
    uvicorn.run(HostCheck(app, allowed_hosts(host)), host=host, port=port,
                log_level="warning", access_log=False, server_header=False,
                lifespan="on")
