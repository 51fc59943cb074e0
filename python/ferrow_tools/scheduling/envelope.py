"""The envelope of a scheduled message in a local sub-queue: a fixed header
before the body, telling when the message is due and when it expires.

    envelope := "FWS1" due_ms:u64 expires_ms:u64 body      (little-endian)

`due_ms` 0 means due at once, `expires_ms` 0 never. Only the sub-queues
(`naming.py`) hold envelopes; the queue itself keeps plain bodies, so that a
queue using none of delays, priorities and expiry stays byte for byte what
`FerrowCore` producers and consumers exchange. A body in a sub-queue without
the magic (written there by hand) is delivered as it is, at once.
"""
from __future__ import annotations

import struct
from typing import NamedTuple

MAGIC = b"FWS1"
HEADER = struct.Struct("<4sQQ")
HEADER_LEN = HEADER.size  # 20


class Opened(NamedTuple):
    due_ms: int
    expires_ms: int
    body: bytes


def seal(body: bytes, due_ms: int, expires_ms: int) -> bytes:
    return HEADER.pack(MAGIC, due_ms, expires_ms) + body


def open_envelope(data: bytes) -> Opened:
    if len(data) < HEADER_LEN or data[:4] != MAGIC:
        return Opened(0, 0, data)
    _, due_ms, expires_ms = HEADER.unpack_from(data)
    return Opened(due_ms, expires_ms, data[HEADER_LEN:])
