"""The errors of opening a queue, as Python programs expect them.

`FerrowCore` raises a plain `OSError` whose text ends with the operating
system's error number ("... (os error 13)"); its `errno` is that number, and
a note ("Ferrow: fsync failed on /q/queue.log", printed by tracebacks after
the text) names the system call that failed and its file. Through the
companion layer the same failure at open becomes the `OSError` subclass of
that number (`PermissionError`, `NotADirectoryError`, `FileNotFoundError`,
...), with `errno`, `strerror` and `filename` set, so that `except
PermissionError` catches it and its text says which queue.
"""
from __future__ import annotations

import os
import re
from typing import Optional, Tuple

_OS_ERROR_NUMBER = re.compile(r"\(os error (\d+)\)$")
_FAILED_CALL = re.compile(r"Ferrow: (\w+) failed on (.*)", re.DOTALL)


def error_number(exc: OSError) -> Optional[int]:
    """The error number of a queue's OSError: its `errno`, or the number its
    text ends with."""
    if exc.errno is not None:
        return exc.errno
    found = _OS_ERROR_NUMBER.search(str(exc))
    return int(found.group(1)) if found else None


def failed_call(exc: BaseException) -> Optional[Tuple[str, str]]:
    """The system call that failed and the file it was made on, as the
    note of a queue's OSError names them; None for other errors."""
    for note in getattr(exc, "__notes__", None) or ():
        found = _FAILED_CALL.fullmatch(note) if isinstance(note, str) else None
        if found:
            return found.group(1), found.group(2)
    return None


def located_text(exc: BaseException, target: str) -> str:
    """One line for a failure of the queue at `target`: the file and the
    call that failed when the error names them, else the target."""
    where = failed_call(exc)
    if where is None:
        return "{}: {}".format(target, exc)
    call, path = where
    # A converted error's strerror says it without the number and the
    # target it was converted for, which the line already names.
    text = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
    return "{}: {} failed: {}".format(path, call, text)


def open_error(exc: OSError, path: str) -> OSError:
    """The error to raise for `exc`, raised while opening the queue at
    `path`: the subclass of its error number with the path, or (for an error
    of the queue's own, such as a log that is not a queue's, and a lock
    time-out) the same class with the path put in front of its text."""
    if isinstance(exc, TimeoutError):
        return exc
    number = error_number(exc)
    if number is None:
        return type(exc)("{}: {}".format(path, exc))
    # OSError(errno, strerror, filename) picks the subclass of the number.
    converted = OSError(number, os.strerror(number), path)
    # The file inside the queue that failed, when it is not the queue's own
    # directory, stays visible in tracebacks.
    notes = getattr(exc, "__notes__", None)
    if notes:
        converted.__notes__ = list(notes)
    return converted
