"""Which processes have a file mapped, read from /proc/PID/maps.

unlock uses it to refuse while any process has DIR/.proc_lock mapped: only
such a process can hold the lock, so the lock is stale only when none does.
"""

import os
from typing import List, Optional, Tuple

from .common import FAILED, AdminError


def _parse_dev(field: str) -> Optional[Tuple[int, int]]:
    try:
        major, minor = field.split(":")
        return int(major, 16), int(minor, 16)
    except ValueError:
        return None


def processes_mapping(path: str) -> Tuple[List[Tuple[int, str]], List[int]]:
    """The processes that have `path` mapped, as (pid, command line), and the
    pids of those whose mappings could not be read. A mapping matches by device and
    inode, or by path (some file systems show other device numbers in
    /proc/PID/maps than stat() does)."""
    st = os.stat(path)
    dev = (os.major(st.st_dev), os.minor(st.st_dev))
    real = os.path.realpath(path)
    me = os.getpid()
    found: List[Tuple[int, str]] = []
    unreadable: List[int] = []
    try:
        pids = [int(name) for name in os.listdir("/proc") if name.isdigit()]
    except OSError as e:
        raise AdminError("cannot list processes through /proc ({}); refusing to unlock".format(e),
                         FAILED)
    for pid in sorted(pids):
        if pid == me:
            continue
        try:
            with open("/proc/{}/maps".format(pid)) as maps:
                hit = False
                for line in maps:
                    parts = line.split(None, 5)
                    if len(parts) < 5:
                        continue
                    name = parts[5].rstrip("\n") if len(parts) > 5 else ""
                    same_file = _parse_dev(parts[3]) == dev and parts[4] == str(st.st_ino)
                    if same_file or name == real:
                        hit = True
                        break
        except (FileNotFoundError, ProcessLookupError):
            continue  # gone meanwhile
        except PermissionError:
            unreadable.append(pid)
            continue
        if hit:
            found.append((pid, command_line(pid)))
    return found, unreadable


def command_line(pid: int) -> str:
    try:
        with open("/proc/{}/cmdline".format(pid), "rb") as f:
            raw = f.read()
    except OSError:
        return "?"
    text = " ".join(a.decode(errors="replace") for a in raw.split(b"\0") if a) or "?"
    text = " ".join(text.split())  # one line, whatever the arguments hold
    return text if len(text) <= 100 else text[:97] + "..."
