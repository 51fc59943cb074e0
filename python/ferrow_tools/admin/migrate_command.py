"""`ferrow-admin migrate SRC DST`: the command line of migrate.py, with a
progress bar on stderr and one line of what was moved."""
import argparse
import sys

from .common import FAILED, OK, PROG, AdminError, queue_dir
from .migrate import MigrationError, has_dead_letters, migrate
from .redis_commands import existing_redis_queue
from ..targets import dead_letter_target, describe, is_redis

BAR_WIDTH = 30


class ProgressBar:
    """Rewritten in place on a terminal; one line per batch otherwise."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self.tty = sys.stderr.isatty()

    def __call__(self, done: int, total: int) -> None:
        if not self.enabled:
            return
        share = done / total if total else 1.0
        filled = int(BAR_WIDTH * min(share, 1.0))
        line = "migrate: [{}{}] {} of {} messages".format("#" * filled, "." * (BAR_WIDTH - filled),
                                                         done, total)
        sys.stderr.write(("\r" + line) if self.tty else line + "\n")
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled and self.tty:
            sys.stderr.write("\n")


def cmd_migrate(args: argparse.Namespace) -> int:
    if args.dir != ":memory:":
        # A source that does not exist is a mistake, not an empty migration.
        src = queue_dir(args.dir)
        if is_redis(src):
            existing_redis_queue(src)
    bar = ProgressBar(args.progress or sys.stderr.isatty())
    try:
        done = migrate(args.dir, args.dst, bar)
        dead_src, dead_dst = dead_letter_target(args.dir), dead_letter_target(args.dst)
        dead = migrate(dead_src, dead_dst, bar) if has_dead_letters(args.dir) else None
    except MigrationError as e:
        raise AdminError(str(e), FAILED)
    except (OSError, ValueError, ImportError) as e:
        raise AdminError("migrate: {} (anything copied before this is in both queues; run "
                         "migrate again to move the rest)".format(e))
    finally:
        bar.close()
    line = "{}: moved {} messages from {} to {}".format(PROG, done.moved, describe(args.dir),
                                                       describe(args.dst))
    if done.leased:
        line += ("; {} of them were leased by a consumer and are ready in {} (delivery counts "
                 "kept)".format(done.leased, describe(args.dst)))
    print(line)
    if dead is None:
        print("{}: {} has no dead letters".format(PROG, describe(args.dir)))
    else:
        print("{}: moved {} dead letters from {} to {}".format(
            PROG, dead.moved, describe(dead_src), describe(dead_dst)))
    return OK
