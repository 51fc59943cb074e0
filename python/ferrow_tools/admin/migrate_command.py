"""`ferrow-admin migrate SRC DST`: the command line of migrate.py, with a
progress bar on stderr and one line of what was moved."""
import argparse
import sys

from .common import FAILED, OK, PROG, AdminError
from .migrate import MigrationError, migrate
from ..targets import describe

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
    bar = ProgressBar(args.progress or sys.stderr.isatty())
    try:
        moved = migrate(args.dir, args.dst, bar)
    except MigrationError as e:
        raise AdminError(str(e), FAILED)
    except (OSError, ValueError, ImportError) as e:
        raise AdminError("migrate: {} (anything copied before this is in both queues; run "
                         "migrate again to move the rest)".format(e))
    finally:
        bar.close()
    print("{}: moved {} messages from {} to {}".format(PROG, moved, describe(args.dir),
                                                      describe(args.dst)))
    return OK
