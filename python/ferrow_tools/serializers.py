"""How `ferrow_tools.Queue` turns the objects it is given into message bodies
and back.

- `None` or `"raw"` (the default): bodies are bytes-like and come back as
  `bytes`, exactly as the queue stores them.
- `"json"`: anything `json.dumps` takes, as compact UTF-8.
- `"pickle"`: any picklable object. Unpickling runs code chosen by whoever
  can write to the queue, so choosing it earns a `PickleWarning`; use it
  only for queues that nobody else can write to.
- A pair of callables `(dumps, loads)`, or any object with `dumps(obj) ->
  bytes` and `loads(data) -> obj` methods.
"""
from __future__ import annotations

import json
import pickle
import warnings
from typing import Any, Callable, Optional, Protocol, Tuple, Union

__all__ = ["Serializer", "PickleWarning", "serializer_for", "RAW", "JSON"]


class Serializer(Protocol):
    def dumps(self, obj: Any) -> Any:
        """A body for the queue: bytes or another bytes-like object."""

    def loads(self, data: bytes) -> Any: ...


class PickleWarning(UserWarning):
    """Bodies are unpickled, which runs code of whoever wrote them."""


class _Raw:
    def dumps(self, obj: Any) -> Any:
        # The queue itself checks and converts bytes-like bodies, with its
        # own errors for anything else.
        return obj

    def loads(self, data: bytes) -> Any:
        return data

    def __repr__(self) -> str:
        return "raw"


class _Json:
    def dumps(self, obj: Any) -> bytes:
        return json.dumps(obj, separators=(",", ":"), ensure_ascii=False).encode("utf-8")

    def loads(self, data: bytes) -> Any:
        return json.loads(data)

    def __repr__(self) -> str:
        return "json"


class _Pickle:
    def dumps(self, obj: Any) -> bytes:
        return pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)

    def loads(self, data: bytes) -> Any:
        return pickle.loads(data)

    def __repr__(self) -> str:
        return "pickle"


class _Pair:
    def __init__(self, dumps: Callable[[Any], Any], loads: Callable[[bytes], Any]) -> None:
        self.dumps = dumps
        self.loads = loads

    def __repr__(self) -> str:
        return "({!r}, {!r})".format(self.dumps, self.loads)


RAW: Serializer = _Raw()
JSON: Serializer = _Json()

SerializerChoice = Union[None, str, Serializer, Tuple[Callable[[Any], Any], Callable[[bytes], Any]]]


def serializer_for(choice: SerializerChoice) -> Serializer:
    """The serializer that `choice` names; TypeError or ValueError for anything else."""
    if choice is None or choice == "raw":
        return RAW
    if choice == "json":
        return JSON
    if choice == "pickle":
        warnings.warn("bodies will be unpickled, which runs code chosen by whoever can write "
                      "to this queue; use pickle only for queues nobody else writes to",
                      PickleWarning, stacklevel=3)
        return _Pickle()
    if isinstance(choice, str):
        raise ValueError("unknown serializer {!r}: use 'raw', 'json', 'pickle', a (dumps, loads) "
                         "pair or an object with dumps and loads".format(choice))
    if isinstance(choice, tuple):
        if len(choice) == 2 and all(callable(f) for f in choice):
            return _Pair(choice[0], choice[1])
        raise TypeError("a serializer pair is (dumps, loads), two callables")
    dumps: Optional[object] = getattr(choice, "dumps", None)
    loads: Optional[object] = getattr(choice, "loads", None)
    if callable(dumps) and callable(loads):
        return choice
    raise TypeError("a serializer is 'raw', 'json', 'pickle', a (dumps, loads) pair or an "
                    "object with dumps and loads methods, not {}".format(type(choice).__name__))
