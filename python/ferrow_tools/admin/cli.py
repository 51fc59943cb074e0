"""ferrow-admin: inspect and maintain a queue directory from the shell.

`dump`, `peek` and `verify` read queue.log on their own and never change a
file, take the process lock or create a queue (log_commands.py). `stats`,
`compact` and `purge` open the queue through the ferrow module like any client
would; `unlock` clears a process lock left taken by a process that died inside
a call (queue_commands.py). `dead` lists, shows, requeues and purges the dead
letters in DIR.dead (dead_commands.py). Every command also takes a Redis URL
instead of DIR; the commands that read files have Redis counterparts in
redis_commands.py, chosen here. `migrate` moves the messages of one target
to another (migrate_command.py). This module holds the command line.
"""

import argparse
import os
import sys
from typing import Callable, NoReturn, Optional, Sequence

from .. import __version__
from ..errors import failed_call
from .common import ERROR, OK, PROG, AdminError
from .dead_commands import cmd_dead_list, cmd_dead_purge, cmd_dead_requeue, cmd_dead_show
from .log_commands import cmd_dump, cmd_peek, cmd_verify
from ..files.logfile import LogError
from .migrate_command import cmd_migrate
from .queue_commands import cmd_compact, cmd_purge, cmd_stats, cmd_unlock
from .serve_command import add_serve_command
from ..targets import is_redis

# The command run instead for a Redis queue, where the one for a directory
# reads files that a Redis queue does not have.
REDIS_VARIANTS = {
    cmd_stats: "cmd_stats", cmd_verify: "cmd_verify", cmd_dump: "cmd_dump",
    cmd_peek: "cmd_peek", cmd_compact: "cmd_compact", cmd_unlock: "cmd_unlock",
    cmd_dead_list: "cmd_dead_list", cmd_dead_show: "cmd_dead_show",
    cmd_dead_requeue: "cmd_dead_requeue", cmd_dead_purge: "cmd_dead_purge",
}


def command_for(args: argparse.Namespace) -> Callable[[argparse.Namespace], int]:
    func: Callable[[argparse.Namespace], int] = args.func
    if func in REDIS_VARIANTS and is_redis(args.dir):
        from . import redis_commands  # needs no client library until a queue opens

        variant: Callable[[argparse.Namespace], int] = getattr(redis_commands,
                                                               REDIS_VARIANTS[func])
        return variant
    return func


def add_progress(p: argparse.ArgumentParser) -> None:
    p.add_argument("--progress", action="store_true",
                   help="report progress on stderr every 16 MiB (default when stderr is a "
                        "terminal)")


def add_command(sub: "argparse._SubParsersAction[argparse.ArgumentParser]", name: str,
                fn: Callable[[argparse.Namespace], int], summary: str, description: str,
                dir_help: str) -> argparse.ArgumentParser:
    """A subcommand taking the queue directory, run by `fn`."""
    p = sub.add_parser(name, help=summary, description=description)
    p.add_argument("dir", metavar="DIR", help=dir_help + " (or a Redis URL, "
                   "redis://host:port/db?queue=NAME)")
    p.set_defaults(func=fn)
    return p


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect and maintain a Ferrow queue directory. dump, peek and verify "
                    "only read queue.log; stats, compact and purge open the queue like any "
                    "client; unlock clears a stale process lock; dead handles the dead letters in "
                    "DIR.dead.",
        epilog="Exit status: 0 success, 1 damaged log or refused/unconfirmed operation, "
               "2 error.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    def command(name: str, fn: Callable[[argparse.Namespace], int], summary: str,
                description: str) -> argparse.ArgumentParser:
        return add_command(sub, name, fn, summary, description, "the queue directory")

    p = command("stats", cmd_stats, "print the queue's statistics",
                "Open the queue and print stats(). Opening is what any client does: it "
                "takes the process lock (waiting up to 30 s), cuts a damaged log tail and "
                "returns lapsed leases to the ready set. With --prometheus, also the age of "
                "the oldest ready message and the delivery counts of the present messages, "
                "replayed from queue.log, in the Prometheus text format.")
    fmt = p.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true", help="print one JSON object")
    fmt.add_argument("--prometheus", action="store_true",
                     help="print metrics in the Prometheus text exposition format")
    p.set_defaults(progress=False)

    p = command("verify", cmd_verify, "check every record of queue.log (read-only)",
                "Re-read queue.log and check the header, every frame and its CRC, and that "
                "every payload decodes. Exit 0 when clean, 1 when damaged. Reads without "
                "the process lock and changes nothing.")
    p.add_argument("--json", action="store_true",
                   help="print {ok, records, bytes, message} as JSON")
    add_progress(p)

    p = command("dump", cmd_dump, "print every record of queue.log (read-only)",
                "Print one line per record: byte offset, kind, seq and fields, then how the "
                "log ends. Exit 1 if the log is damaged. Reads without the process lock and "
                "changes nothing.")
    p.add_argument("--json", action="store_true", help="print JSON lines")
    p.add_argument("--bodies", action="store_true",
                   help="include a prefix of each body (escaped; hex in JSON)")
    p.add_argument("--body-bytes", type=non_negative, default=32, metavar="N",
                   help="body prefix length for --bodies (default 32)")
    add_progress(p)

    p = command("peek", cmd_peek, "show the next ready messages without leasing them",
                "Replay queue.log and list the messages that a dequeue would deliver next, "
                "by id: present, and not under a lease that has not yet lapsed. Leases "
                "nothing, reads without the process lock and changes nothing.")
    p.add_argument("-n", type=non_negative, default=10, metavar="N",
                   help="how many messages to show (default 10)")
    p.add_argument("--json", action="store_true", help="print JSON lines")
    p.add_argument("--body-bytes", type=non_negative, default=32, metavar="N",
                   help="body prefix length (default 32)")
    add_progress(p)

    command("compact", cmd_compact, "rewrite queue.log keeping only present messages",
            "Open the queue and compact() it: the log is rewritten under a new generation "
            "and other processes reload it at their next call.")

    p = command("purge", cmd_purge, "remove every message (asks first)",
                "Open the queue and purge() it: every message is gone for every process and "
                "ids start again at 0. Asks for confirmation on the terminal; without one "
                "(standard input not a terminal) it refuses unless --yes is given.")
    p.add_argument("--yes", "-y", action="store_true", help="do not ask for confirmation")

    p = sub.add_parser(
        "migrate", help="move every message from one queue to another",
        description="Copy every present message of SRC to DST (a directory, or a Redis "
                    "URL), keeping body, enqueue time and delivery count, then remove it "
                    "from SRC, in batches. At least once: a crash in between leaves copies "
                    "in both. A directory DST must not hold a queue yet. Stop the producers "
                    "and consumers of SRC first: a message leased when it is read is moved "
                    "too and is ready in DST (the output says how many). The dead letters "
                    "of SRC (SRC.dead) move to DST.dead the same way.")
    p.add_argument("dir", metavar="SRC", help="the queue to empty (directory or Redis URL)")
    p.add_argument("dst", metavar="DST", help="the queue to fill (directory or Redis URL)")
    p.add_argument("--progress", action="store_true",
                   help="report progress on stderr (default when stderr is a terminal)")
    p.set_defaults(func=cmd_migrate)

    command("unlock", cmd_unlock, "clear a stale process lock",
            "Reset the lock word in DIR/.proc_lock to 0, which is needed after a process "
            "died inside a call. Refuses while any process has .proc_lock mapped (it lists "
            "them): only a process with the queue open can hold the lock.")

    dead = sub.add_parser(
        "dead", help="list, show, requeue or purge the dead letters of DIR (in DIR.dead)",
        description="Dead letters of the queue DIR live in the queue DIR.dead, each a JSON "
                    "header line followed by the original body. list and show read "
                    "DIR.dead/queue.log and change nothing; requeue and purge open the "
                    "queues like any client.")
    dsub = dead.add_subparsers(dest="dead_command", metavar="ACTION")
    dsub.required = True

    def dead_action(name: str, fn: Callable[[argparse.Namespace], int], summary: str,
                    description: str) -> argparse.ArgumentParser:
        p = add_command(dsub, name, fn, summary, description,
                        "the queue directory (not DIR.dead)")
        p.set_defaults(progress=False)
        return p

    p = dead_action("list", cmd_dead_list, "one line per dead letter (read-only)",
                    "Print each dead letter: its id in DIR.dead, its original id, deliveries, "
                    "the time it was taken out, the reason and the original body length. "
                    "Leases nothing and changes nothing; no DIR.dead means no dead letters.")
    p.add_argument("--json", action="store_true", help="print JSON lines")

    p = dead_action("show", cmd_dead_show, "one dead letter's header and body (read-only)",
                    "Print the header fields of the dead letter ID (its id in DIR.dead, or "
                    "else the id it had in DIR) and a prefix of the original body, or with "
                    "--raw the whole body alone.")
    p.add_argument("id", metavar="ID", type=non_negative,
                   help="the id in DIR.dead (or the original id in DIR)")
    out = p.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print one JSON object (body in hex)")
    out.add_argument("--raw", action="store_true",
                     help="write the original body, unchanged, to standard output")
    p.add_argument("--body-bytes", type=non_negative, default=64, metavar="N",
                   help="body prefix length (default 64)")

    p = dead_action("requeue", cmd_dead_requeue, "move dead letters back into DIR",
                    "Enqueue the original body of dead letter ID (or of every one with --all) "
                    "into DIR as a new message, then acknowledge it in DIR.dead. At least "
                    "once: a crash between the two leaves the message in both queues.")
    which = p.add_mutually_exclusive_group(required=True)
    which.add_argument("id", metavar="ID", type=non_negative, nargs="?",
                       help="the id in DIR.dead (or the original id in DIR)")
    which.add_argument("--all", action="store_true", help="every dead letter, by id")

    p = dead_action("purge", cmd_dead_purge, "remove every dead letter (asks first)",
                    "purge() DIR.dead. Asks for confirmation on the terminal; without one it "
                    "refuses unless --yes is given.")
    p.add_argument("--yes", "-y", action="store_true", help="do not ask for confirmation")

    add_serve_command(sub)
    return parser


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: {!r}".format(text))
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative: {}".format(value))
    return value


def fail(message: str, status: int) -> NoReturn:
    sys.stderr.write("{}: error: {}\n".format(PROG, message) if status == ERROR
                     else "{}: {}\n".format(PROG, message))
    sys.exit(status)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns the exit status. User mistakes and I/O
    failures end in one line on stderr, not a traceback."""
    args = build_parser().parse_args(argv)
    try:
        status: int = command_for(args)(args)
        sys.stdout.flush()
    except AdminError as e:
        fail(str(e), e.status)
    except LogError as e:
        fail("{}: {}".format(args.dir, e), ERROR)
    except BrokenPipeError:
        # The reader of the output went away (`dump DIR | head`): not an error,
        # and the interpreter must not complain while flushing at exit either.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return OK
    except OSError as e:
        where = failed_call(e)
        fail(str(e) if where is None else "{}: {} failed: {}".format(where[1], where[0], e), ERROR)
    except ValueError as e:
        # A target that is no queue's (empty, a mistyped URL, a Redis URL
        # without its queue) is the user's to correct: one line says how.
        fail(str(e), ERROR)
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    return status
