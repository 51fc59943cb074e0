"""Helpers shared by the benchmarks that put queue files on disk: where to put
them, how to summarise rounds, and the hand-rolled sqlite3 queue that serves as
the baseline."""
import os
import shutil
import sqlite3
import statistics
import tempfile
import time


# Source for probe programs run in a fresh interpreter: the resident memory of
# that process, read before and after the work it measures.
RSS_KIB_SOURCE = """
def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
"""

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# /tmp may be a tmpfs, where fsync costs nothing, so the default lives in the
# repository's build directory, which is on the real filesystem.
DEFAULT_BENCH_DIR = os.path.join(REPO, "build", "bench")

BODY = b"x" * 100


def median_rate(run_round, count, rounds):
    """Median of count / seconds over `rounds` rounds; run_round() returns the
    seconds its timed part took (set-up stays outside the timing)."""
    return statistics.median(count / run_round() for _ in range(rounds))


def filesystem_of(path):
    """(mount point, type) of the filesystem holding `path`, from /proc/mounts."""
    path = os.path.realpath(path)
    best = ("?", "unknown")
    try:
        with open("/proc/mounts") as mounts:
            for line in mounts:
                fields = line.split()
                mount = fields[1].replace("\\040", " ")
                inside = path == mount or path.startswith(mount.rstrip("/") + "/")
                # The longest mount point containing the path is the one in use.
                if inside and (best[0] == "?" or len(mount) >= len(best[0])):
                    best = (mount, fields[2])
    except OSError:
        pass
    return best


class Scratch:
    """Fresh subdirectories of the benchmark directory, removed at the end."""

    def __init__(self, root, prefix="durable-bench-"):
        os.makedirs(root, exist_ok=True)
        self.root = tempfile.mkdtemp(prefix=prefix, dir=root)
        self.count = 0

    def fresh(self):
        self.count += 1
        path = os.path.join(self.root, f"r{self.count}")
        os.mkdir(path)
        return path

    def remove(self, path):
        shutil.rmtree(path, ignore_errors=True)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)


# The same queue written by hand on sqlite3: one row per message, every single
# operation its own transaction, WAL journal.

LEASE_MS = 30_000

# One statement, hence one transaction: it picks the smallest ready id and
# leases it, so two consumers can never claim the same row.
SQL_DEQUEUE = """
UPDATE q SET lease_deadline = ?, deliveries = deliveries + 1
WHERE id = (SELECT id FROM q WHERE lease_deadline <= ? ORDER BY id LIMIT 1)
RETURNING id, body, deliveries"""

SQL_DEQUEUE_BATCH = """
UPDATE q SET lease_deadline = ?, deliveries = deliveries + 1
WHERE id IN (SELECT id FROM q WHERE lease_deadline <= ? ORDER BY id LIMIT ?)
RETURNING id, body, deliveries"""


def now_ms():
    return int(time.time() * 1000)


class SqliteQueue:
    """`create` makes the database and its table (once per directory); the other
    processes sharing it open it with create=False. `busy_timeout_ms`, when
    given, makes a writer that finds the database locked wait that long
    instead of failing at once."""

    def __init__(self, directory, synchronous, create=True, busy_timeout_ms=None):
        # Autocommit: each statement outside BEGIN..COMMIT is its own transaction.
        self.db = sqlite3.connect(os.path.join(directory, "queue.db"), isolation_level=None)
        if busy_timeout_ms is not None:
            self.db.execute(f"PRAGMA busy_timeout={int(busy_timeout_ms)}")
        if create:
            self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute(f"PRAGMA synchronous={synchronous}")
        if create:
            self.db.execute("CREATE TABLE q (id INTEGER PRIMARY KEY, body BLOB NOT NULL, "
                            "lease_deadline INTEGER NOT NULL, deliveries INTEGER NOT NULL)")

    def enqueue(self, body):
        return self.db.execute("INSERT INTO q (body, lease_deadline, deliveries) VALUES (?, 0, 0)",
                               (body,)).lastrowid

    def dequeue(self):
        now = now_ms()
        return self.db.execute(SQL_DEQUEUE, (now + LEASE_MS, now)).fetchone()

    def ack(self, seq):
        return self.db.execute("DELETE FROM q WHERE id = ?", (seq,)).rowcount == 1

    def enqueue_batch(self, bodies):
        self.db.execute("BEGIN")
        self.db.executemany("INSERT INTO q (body, lease_deadline, deliveries) VALUES (?, 0, 0)",
                            ((b,) for b in bodies))
        self.db.execute("COMMIT")

    def dequeue_batch(self, limit):
        now = now_ms()
        return self.db.execute(SQL_DEQUEUE_BATCH, (now + LEASE_MS, now, limit)).fetchall()

    def ack_batch(self, seqs):
        self.db.execute("BEGIN")
        self.db.executemany("DELETE FROM q WHERE id = ?", ((s,) for s in seqs))
        self.db.execute("COMMIT")

    def close(self):
        self.db.close()


# Queues from PyPI, behind the enqueue / dequeue / ack calls that the
# multi-process rounds make. Each is driven through its public API with its
# own defaults. Neither keeps a delivery count, so dequeue reports 1 and
# duplicate deliveries show up only as repeated bodies. Imported lazily: only
# `make compare` installs them.

class PersistAckQueue:
    """persist-queue's SQLiteAckQueue. `get(raw=True)` returns a dict that `ack`
    accepts as is, which spares ack a search through the unacked items."""

    def __init__(self, directory):
        import persistqueue
        self.empty = persistqueue.Empty
        self.path = os.path.join(directory, "pq")
        self.q = persistqueue.SQLiteAckQueue(self.path)
        self.db_path = os.path.join(self.path, "data.db")

    def enqueue(self, body):
        return self.q.put(body)

    def dequeue(self):
        try:
            item = self.q.get(block=False, raw=True)
        except self.empty:
            return None
        return item, item["data"], 1

    def ack(self, item):
        return self.q.ack(item) is not None

    def remaining(self):
        """Messages not yet acknowledged, counted in the database (its `size` is
        kept per process)."""
        return self.q.ready_count() + self.q.unack_count()

    def close(self):
        self.q.close()


class LiteQueueAdapter:
    """litequeue's LiteQueue. It stores text, so bodies go in as ASCII strings
    and come back as bytes."""

    def __init__(self, directory):
        import litequeue
        self.db_path = os.path.join(directory, "lq.db")
        self.q = litequeue.LiteQueue(self.db_path)

    def enqueue(self, body):
        return self.q.put(body.decode("ascii"))

    def dequeue(self):
        m = self.q.pop()
        if m is None:
            return None
        return m.message_id, m.data.encode("ascii"), 1

    def ack(self, message_id):
        self.q.done(message_id)
        return True  # done() reports nothing about whether the id existed

    def remaining(self):
        return self.q.qsize()

    def close(self):
        self.q.close()


PEER_QUEUES = {"persist-queue": PersistAckQueue, "litequeue": LiteQueueAdapter}


def sqlite_integrity(db_path):
    """PRAGMA integrity_check of a database file: "ok" or the first problem."""
    db = sqlite3.connect(db_path)
    try:
        return db.execute("PRAGMA integrity_check").fetchone()[0]
    finally:
        db.close()


def build_long_log(scratch, messages, chunk):
    """A queue of `messages` live messages with 100-byte bodies, enqueued in
    batches of `chunk`; (its scratch directory, its path)."""
    import ferrow
    d = scratch.fresh()
    path = os.path.join(d, "q")
    # A large interval: only the closing sync of each batch reaches the disk.
    q = ferrow.FerrowCore(path, sync_interval_ms=3_600_000)
    bodies = [BODY] * chunk
    for _ in range(messages // chunk):
        q.enqueue_batch(bodies)
    assert q.stats()["total"] == messages
    del q
    return d, path
