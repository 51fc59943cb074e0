"""The errors of opening a queue, as Python programs expect them.

`FerrowCore` raises a plain `OSError` whose text ends with the operating
system's error number ("... (os error 13)") and names no path. Through the
companion layer the same failure becomes the `OSError` subclass of that
number (`PermissionError`, `NotADirectoryError`, `FileNotFoundError`, ...),
with `errno`, `strerror` and `filename` set, so that `except
PermissionError` catches it and its text says which queue.
"""
from __future__ import annotations

import os
import re
from typing import Optional

_OS_ERROR_NUMBER = re.compile(r"\(os error (\d+)\)$")


def error_number(exc: OSError) -> Optional[int]:
    """The error number of a queue's OSError: its `errno`, or the number its
    text ends with."""
    if exc.errno is not None:
        return exc.errno
    found = _OS_ERROR_NUMBER.search(str(exc))
    return int(found.group(1)) if found else None


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
    return OSError(number, os.strerror(number), path)
