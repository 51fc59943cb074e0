"""Argument conversions of `ferrow.FerrowCore`, for queues written in Python.

A queue that is not a FerrowCore must refuse and accept exactly what
FerrowCore does, with the same exception classes and texts, so that code
moving from one to the other meets no new failure. Each function mirrors one
conversion of the binding; `argument` adds the parameter name to a plain
TypeError the way the binding does (subclasses and other classes pass
through unchanged, since they may mean something of their own).
"""
from __future__ import annotations

import operator
from typing import Any, Callable, Iterator, List, TypeVar

T = TypeVar("T")

U64_MAX = 2**64 - 1
# What one record of a local queue log can hold; the same limit keeps bodies
# movable between the two kinds of queue.
MAX_BODY = 536870891


def argument(name: str, convert: Callable[[Any], T], value: Any) -> T:
    try:
        return convert(value)
    except TypeError as exc:
        if type(exc) is not TypeError:
            raise
        replacement = TypeError("argument '{}': {}".format(name, exc))
        replacement.__cause__ = exc.__cause__
        raise replacement from exc.__cause__


def cannot_convert(obj: object, target: str) -> TypeError:
    return TypeError("'{}' object cannot be converted to '{}'".format(
        type(obj).__qualname__, target))


def to_u64(obj: Any) -> int:
    value = obj if isinstance(obj, int) else operator.index(obj)
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value > U64_MAX:
        raise OverflowError("int too big to convert")
    return int(value)


def to_optional_u64(obj: Any, fallback: int) -> int:
    return fallback if obj is None else to_u64(obj)


def _is_numpy_bool(obj: object) -> bool:
    kind = type(obj)
    return (getattr(kind, "__module__", None) == "numpy"
            and getattr(kind, "__name__", None) in ("bool_", "bool"))


def to_strict_bool(obj: Any) -> bool:
    """True and False, and numpy's booleans; not ints or other truthy objects."""
    if obj is True or obj is False:
        return bool(obj)
    if _is_numpy_bool(obj):
        truth = type(obj).__bool__(obj)
        if truth is True or truth is False:
            return bool(truth)
        raise cannot_convert(truth, "PyBool")
    raise cannot_convert(obj, "PyBool")


def _items(obj: Any) -> Iterator[Any]:
    """The items of a sequence, str refused outright: its items are str,
    never values, and failing on the first one would hide why."""
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if isinstance(obj, dict) or not hasattr(type(obj), "__getitem__"):
        raise cannot_convert(obj, "Sequence")
    return iter(obj)


def _to_byte(item: Any) -> int:
    value = item if isinstance(item, int) else operator.index(item)
    if not 0 <= value <= 255:
        raise OverflowError("out of range integral type conversion attempted")
    return int(value)


def to_bytes(obj: Any) -> bytes:
    # bytes and bytearray iterate as their own byte values; subclasses are
    # iterated because they may do so differently.
    if type(obj) is bytes:
        return obj
    if type(obj) is bytearray:
        return bytes(obj)
    return bytes([_to_byte(item) for item in _items(obj)])


def to_bytes_list(obj: Any) -> List[bytes]:
    return [to_bytes(item) for item in _items(obj)]


def to_u64_list(obj: Any) -> List[int]:
    return [to_u64(item) for item in _items(obj)]


def check_body_size(size: int) -> None:
    """Refuses a body that a local queue could not hold, before anything is
    written (the caller maps the OSError like every other I/O error)."""
    if size > MAX_BODY:
        raise OSError("Ferrow I/O error: message body of {} bytes exceeds the limit of {} "
                      "bytes".format(size, MAX_BODY))


def optional_argument(name: str, value: Any, fallback: int) -> int:
    return argument(name, lambda v: to_optional_u64(v, fallback), value)


def required_u64(name: str, value: Any) -> int:
    return argument(name, to_u64, value)
