"""The Lua scripts of a Redis queue: read once from lua/, each prefixed with
the shared prelude, sent to the server by hash and loaded again when the
server has forgotten them (after a restart or SCRIPT FLUSH)."""
from __future__ import annotations

import hashlib
import os
from typing import Any, Dict, List, Sequence, Tuple

from .connection import import_redis

# The queue's keys, in the order the prelude names them (KEYS[1]...).
KEY_NAMES = ("meta", "ready", "leases", "bodies", "deliveries", "times", "wake")

SCRIPTS = ("enqueue", "dequeue", "ack", "nack", "extend_lease", "available", "stats", "purge",
           "next_deadline", "verify", "snapshot", "import", "put", "take")

_LUA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lua")


def _read(name: str) -> str:
    with open(os.path.join(_LUA_DIR, name + ".lua"), encoding="utf-8") as f:
        return f.read()


def _sources() -> Dict[str, Tuple[str, str]]:
    prelude = _read("prelude")
    sources = {}
    for name in SCRIPTS:
        text = prelude + "\n" + _read(name)
        sources[name] = (text, hashlib.sha1(text.encode()).hexdigest())
    return sources


SOURCES = _sources()


class Scripts:
    def __init__(self, client: Any) -> None:
        self._client = client

    def _load(self) -> None:
        for text, _ in SOURCES.values():
            self._client.script_load(text)

    def run(self, name: str, keys: List[str], args: Sequence[Any]) -> Any:
        rex = import_redis("redis.exceptions")

        sha = SOURCES[name][1]
        try:
            return self._client.evalsha(sha, len(keys), *keys, *args)
        except rex.NoScriptError:
            # The script did not run, so running it now cannot repeat it.
            self._load()
            return self._client.evalsha(sha, len(keys), *keys, *args)

    def run_with(self, name: str, keys: List[str], args: Sequence[Any],
                 then: Sequence[Tuple[Any, ...]]) -> List[Any]:
        """The script, then the commands `then`, in one round trip."""
        rex = import_redis("redis.exceptions")

        replies: List[Any]
        try:
            replies = pipeline(self._client, name, keys, args, then).execute()
        except rex.NoScriptError:
            self._load()
            replies = pipeline(self._client, name, keys, args, then).execute()
        return replies


def pipeline(client: Any, name: str, keys: List[str], args: Sequence[Any],
             then: Sequence[Tuple[Any, ...]]) -> Any:
    """A pipeline holding a script and the commands after it (a blocking or
    an asyncio one: both queue commands without waiting)."""
    pipe = client.pipeline(transaction=False)
    pipe.evalsha(SOURCES[name][1], len(keys), *keys, *args)
    for command in then:
        pipe.execute_command(*command)
    return pipe


class AsyncScripts:
    """The same scripts over a client of redis-py's asyncio API."""

    def __init__(self, client: Any) -> None:
        self._client = client

    async def _load(self) -> None:
        for text, _ in SOURCES.values():
            await self._client.script_load(text)

    async def run(self, name: str, keys: List[str], args: Sequence[Any]) -> Any:
        rex = import_redis("redis.exceptions")

        sha = SOURCES[name][1]
        try:
            return await self._client.evalsha(sha, len(keys), *keys, *args)
        except rex.NoScriptError:
            await self._load()
            return await self._client.evalsha(sha, len(keys), *keys, *args)

    async def run_with(self, name: str, keys: List[str], args: Sequence[Any],
                       then: Sequence[Tuple[Any, ...]]) -> List[Any]:
        rex = import_redis("redis.exceptions")

        replies: List[Any]
        try:
            replies = await pipeline(self._client, name, keys, args, then).execute()
        except rex.NoScriptError:
            await self._load()
            replies = await pipeline(self._client, name, keys, args, then).execute()
        return replies
