"""`ferrow-admin serve`: the web dashboard (ferrow_tools.dashboard)."""
import argparse
from typing import Optional

from .common import OK, AdminError

EXTRA_HINT = "serve needs the dashboard's libraries: pip install 'ferrow[dashboard]'"


def port_number(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a port number: {!r}".format(text))
    if not 0 <= port < 65536:
        raise argparse.ArgumentTypeError("port out of range: {}".format(port))
    return port


def add_serve_command(sub: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    p = sub.add_parser(
        "serve", help="a web dashboard and a Prometheus /metrics endpoint",
        description="Serve a dashboard of every queue of TARGET: a base directory (every queue "
                    "below it, with its dead letters and sub-queues), one queue directory, or a "
                    "Redis URL without queue= (every Ferrow queue on the server). Reading never "
                    "changes a queue. Actions (requeue, drop, purge, compact) need --token; "
                    "without it the dashboard is read-only. A --host other than loopback needs "
                    "--token, which then guards reading too.")
    p.add_argument("dir", metavar="TARGET", help="base directory, queue directory or Redis URL")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=port_number, default=8080, help="port (default 8080)")
    token = p.add_mutually_exclusive_group()
    token.add_argument("--token", help="the secret that enables actions (sent as 'Authorization: "
                                       "Bearer TOKEN', or typed in to sign in)")
    token.add_argument("--token-file", metavar="FILE",
                       help="read the token from FILE's first line, so that it does not show in "
                            "the process list")
    p.set_defaults(func=cmd_serve)


def read_token(args: argparse.Namespace) -> Optional[str]:
    if args.token_file is None:
        token: Optional[str] = args.token
        return token
    with open(args.token_file, encoding="utf-8") as f:
        return f.readline().strip()


def cmd_serve(args: argparse.Namespace) -> int:
    try:
        from ..dashboard.server import serve
    except ImportError:
        raise AdminError(EXTRA_HINT) from None
    try:
        serve(args.dir, args.host, args.port, read_token(args))
    except ImportError:
        raise AdminError(EXTRA_HINT) from None
    except ValueError as e:
        raise AdminError(str(e)) from None
    return OK
