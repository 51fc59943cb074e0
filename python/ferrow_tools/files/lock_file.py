"""The process-lock file DIR/.proc_lock, read the way a waiting queue reads it.

The layout is the engine's (src/queue/proc_lock_layout.h; the constants
below are held to it by tests/test_shared_constants.py): the lock word at 0
(0 free; a holder's token, top bit set, or another value such as 1 that
names nobody; bit 62 marks sleeping waiters), then from SLOTS_OFFSET on one
slot per open queue object. Every open queue object holds an open file
description lock on its slot's bytes, which the kernel drops when the
process dies, in whatever pid namespace it runs.
"""

import fcntl
import os
import struct
import time
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from .logfile import LOCK_NAME


SLOTS_OFFSET = 64
SLOT_LEN = 32
SLOT_COUNT = 4096
TOKEN_TAG = 1 << 63
WAITERS_BIT = 1 << 62
SLOT_MASK = 0xFFFF
# One slot: token, pid, unused, pid namespace inode, monotonic ns of the last take.
SLOT = struct.Struct("<QIIQQ")

# Linux's F_OFD_GETLK (the fcntl module names it only from Python 3.9 on) and
# struct flock of 64-bit Linux: l_type, l_whence, l_start, l_len, l_pid.
F_OFD_GETLK = 36
FLOCK = "hhqqi4x"


@dataclass
class Slot:
    index: int
    token: int
    pid: int        # as the owner sees itself
    pid_ns: int     # inode of the owner's pid namespace
    since_ns: int   # CLOCK_MONOTONIC when the owner last took the word


@dataclass
class Holder:
    word: int
    state: str               # "free", "alive", "dead" or "unidentified"
    slot: Optional[Slot]

    def describe(self) -> str:
        if self.state == "free":
            return "free"
        if self.slot is None:
            return "held by a process that cannot be identified (lock word {:#x})".format(
                self.word)
        s = self.slot
        held = max(time.monotonic_ns() - s.since_ns, 0) / 1e9 if s.since_ns else None
        local = local_pid(s.pid, s.pid_ns)
        if local is not None:
            who = "pid {}".format(local)
        elif s.pid_ns == own_pid_namespace():
            who = "pid {}".format(s.pid)
        else:
            who = "pid {} of another pid namespace (not visible from here)".format(s.pid)
        since = " for {:.1f} s".format(held) if held is not None else ""
        return "held by {}{} ({})".format(who, since, self.state)


def _slot_locked(fd: int, index: int) -> bool:
    request = struct.pack(FLOCK, fcntl.F_WRLCK, os.SEEK_SET, SLOTS_OFFSET + index * SLOT_LEN,
                          SLOT_LEN, 0)
    answer = fcntl.fcntl(fd, F_OFD_GETLK, request)
    return bool(struct.unpack(FLOCK, answer)[0] != fcntl.F_UNLCK)


def _slot(raw: bytes, index: int) -> Slot:
    token, pid, _, pid_ns, since = SLOT.unpack_from(raw, SLOTS_OFFSET + index * SLOT_LEN)
    return Slot(index, token, pid, pid_ns, since)


def _read_all(fd: int, path: str) -> bytes:
    """The header and the slot table; a failure names the file (os.pread's
    own error names none)."""
    try:
        return os.pread(fd, SLOTS_OFFSET + SLOT_COUNT * SLOT_LEN, 0)
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from e


def read_holder(qdir: str) -> Optional[Holder]:
    """Who holds the lock of `qdir`, or None without a full lock word."""
    path = os.path.join(qdir, LOCK_NAME)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    try:
        raw = _read_all(fd, path)
        if len(raw) < 8:
            return None
        word = int.from_bytes(raw[:8], "little") & ~WAITERS_BIT
        if word == 0:
            return Holder(word, "free", None)
        index = (word & SLOT_MASK) - 1
        if not word & TOKEN_TAG or not 0 <= index < SLOT_COUNT or len(raw) < SLOTS_OFFSET + (
                index + 1) * SLOT_LEN:
            return Holder(word, "unidentified", None)
        slot = _slot(raw, index)
        if slot.token != word:
            return Holder(word, "dead", slot)
        return Holder(word, "alive" if _slot_locked(fd, index) else "dead", slot)
    finally:
        os.close(fd)


def live_openers(qdir: str) -> List[Slot]:
    """The slots whose owners (open queue objects of this or a later build)
    are alive, in any pid namespace."""
    path = os.path.join(qdir, LOCK_NAME)
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        raw = _read_all(fd, path)
        count = max(0, min(SLOT_COUNT, (len(raw) - SLOTS_OFFSET) // SLOT_LEN))
        return [_slot(raw, i) for i in range(count) if _slot_locked(fd, i)]
    finally:
        os.close(fd)


def clear_word_if(qdir: str, word: int) -> bool:
    """Writes 0 over the lock word if it still holds `word` (ignoring the
    waiters bit). Python has no compare-and-swap on a mapping, so this is a
    read and a write; it is only used for a word that no live process can
    take, which nobody else writes."""
    import mmap
    with open(os.path.join(qdir, LOCK_NAME), "r+b") as f:
        with mmap.mmap(f.fileno(), 8) as m:
            if int.from_bytes(m[0:8], "little") & ~WAITERS_BIT != word:
                return False
            m[0:8] = bytes(8)
            m.flush()
    return True


def own_pid_namespace() -> int:
    return _namespace_of("self")


def _namespace_of(pid: str) -> int:
    try:
        link = os.readlink("/proc/{}/ns/pid".format(pid))
    except OSError:
        return 0
    return int(link[link.index("[") + 1:-1]) if "[" in link else 0


_local_pids: Dict[Tuple[int, int], Optional[int]] = {}


def local_pid(pid: int, pid_ns: int) -> Optional[int]:
    """The pid under which this process sees the process that calls itself
    `pid` in pid namespace `pid_ns`, found through /proc/*/status (NSpid
    lists a process's pid in each namespace it is in, ours first)."""
    if pid_ns == own_pid_namespace():
        return pid
    key = (pid, pid_ns)
    if key in _local_pids:
        return _local_pids[key]
    found: Optional[int] = None
    for name in os.listdir("/proc"):
        if not name.isdigit() or _namespace_of(name) != pid_ns:
            continue
        try:
            with open("/proc/{}/status".format(name)) as status:
                for line in status:
                    if line.startswith("NSpid:"):
                        if int(line.split()[-1]) == pid:
                            found = int(name)
                        break
        except (OSError, ValueError):
            continue
        if found is not None:
            break
    _local_pids[key] = found
    return found
