"""An independent, read-only reader of a queue's `queue.log`.

It decodes the file with `struct` and `zlib.crc32` alone, without the ferrow
module, so that the log can be inspected without opening the queue: opening
takes the process lock, may cut a damaged tail and may create a new log. The
outcomes and their texts are the engine's own, so that a report here reads
like the engine's warning for the same bytes.

    file    := header frame*
    header  := "FWFL" format_version:u32 generation:u64          (16 bytes)
    frame   := "FWR1" payload_len:u32 payload_crc:u32 payload   (12 + payload_len)
    payload := type:u8 fields...      (integers little-endian; CRC-32 over payload)
"""

import os
import struct
import time
import zlib
from typing import BinaryIO, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

FILE_MAGIC = b"FWFL"
RECORD_MAGIC = b"FWR1"
FILE_HEADER_LEN = 16
FRAME_HEADER_LEN = 12
MAX_RECORD_LEN = 0x20000000
# Enqueue payload header: type (1), seq (8), enqueued_ts_ms (8), body_len (4).
ENQUEUE_PAYLOAD_HEADER_LEN = 21
ENQUEUE_BODY_OFFSET = FRAME_HEADER_LEN + ENQUEUE_PAYLOAD_HEADER_LEN

LOG_NAME = "queue.log"
LOCK_NAME = ".proc_lock"

# Frame texts.
TRUNCATED_HEADER = "truncated record header"
BAD_MAGIC = "bad record magic"
TRUNCATED_PAYLOAD = "truncated record payload"
CRC_MISMATCH = "record CRC mismatch (silent corruption)"

_HEADER = struct.Struct("<4sIQ")
_FRAME_HEADER = struct.Struct("<4sII")
_U64 = struct.Struct("<Q")
_U32 = struct.Struct("<I")

# A frame that ends short may be one that another process is appending right
# now (this reader takes no lock); the scan looks again this many times when
# the file has grown meanwhile, before calling it damage.
_GROWING_TAIL_RETRIES = 5


class LogError(Exception):
    """The file cannot be read as a queue log at all (wrong magic, too short).
    `short` is the report text of the engine's verification where it has one."""

    def __init__(self, message: str, short: str) -> None:
        super().__init__(message)
        self.short = short


class Enqueue(NamedTuple):
    seq: int
    enqueued_ts_ms: int
    body_len: int
    body: bytes


class Ack(NamedTuple):
    seq: int


class Lease(NamedTuple):
    seq: int
    deadline_ms: int
    deliveries: int


class Requeue(NamedTuple):
    seq: int
    deliveries: int


class Dead(NamedTuple):
    seq: int


Record = Union[Enqueue, Ack, Lease, Requeue, Dead]
Buffer = Union[bytes, bytearray, memoryview]

KIND_NAMES = {Enqueue: "enqueue", Ack: "ack", Lease: "lease", Requeue: "requeue", Dead: "dead"}


def kind_name(record: Record) -> str:
    return KIND_NAMES[type(record)]


class DecodeError(Exception):
    """A payload whose CRC is right but whose fields do not decode."""


_ENQUEUE_HEAD = struct.Struct("<QQI")
_LEASE = struct.Struct("<QQI")
_REQUEUE = struct.Struct("<QI")


def decode_at(buf: Buffer, p: int, n: int, body_limit: Optional[int] = None) -> Record:
    """The record of the n-byte payload at buf[p:]; raises DecodeError with
    the engine's text. Lengths are tested in field order, so the text names
    the first field that does not fit; bytes after the last field are
    ignored. An Enqueue keeps the first `body_limit` body bytes (all if None).
    """
    if n == 0:
        raise DecodeError("empty record")
    kind = buf[p]
    if kind == 1:
        if n < 17:
            raise DecodeError("short u64 field")
        if n < 21:
            raise DecodeError("short u32 field")
        seq, ts, body_len = _ENQUEUE_HEAD.unpack_from(buf, p + 1)
        if n - ENQUEUE_PAYLOAD_HEADER_LEN < body_len:
            raise DecodeError("short body")
        keep = body_len if body_limit is None else min(body_limit, body_len)
        body = bytes(buf[p + 21:p + 21 + keep]) if keep else b""
        return Enqueue(seq, ts, body_len, body)
    if kind == 2 or kind == 5:
        if n < 9:
            raise DecodeError("short u64 field")
        seq = _U64.unpack_from(buf, p + 1)[0]
        return Ack(seq) if kind == 2 else Dead(seq)
    if kind == 3:
        if n < 17:
            raise DecodeError("short u64 field")
        if n < 21:
            raise DecodeError("short u32 field")
        return Lease(*_LEASE.unpack_from(buf, p + 1))
    if kind == 4:
        if n < 9:
            raise DecodeError("short u64 field")
        if n < 13:
            raise DecodeError("short u32 field")
        return Requeue(*_REQUEUE.unpack_from(buf, p + 1))
    raise DecodeError("unknown record type {}".format(kind))


def decode_payload(payload: bytes) -> Record:
    """The record of one payload (see decode_at)."""
    return decode_at(payload, 0, len(payload))


class Header(NamedTuple):
    version: int
    generation: int


class Frame(NamedTuple):
    """One intact frame: its offset, its size (payload_len + 12) and its
    record, or the decode text when the payload does not decode."""

    offset: int
    size: int
    record: Optional[Record]
    decode_error: Optional[str]


class Tail(NamedTuple):
    """How a scan ended: at `offset`, cleanly (`damage` None) or at a damaged
    frame with the frame text."""

    offset: int
    records: int
    damage: Optional[str]


def read_header(f: BinaryIO, size: int) -> Header:
    if size < FILE_HEADER_LEN:
        raise LogError(
            "queue.log is {} bytes long, shorter than its {}-byte header "
            "(the next open reinitialises it as an empty queue)".format(size, FILE_HEADER_LEN),
            "file shorter than its header")
    f.seek(0)
    raw = f.read(FILE_HEADER_LEN)
    if len(raw) < FILE_HEADER_LEN:
        raise LogError("queue.log ends inside its header", "file shorter than its header")
    magic, version, generation = _HEADER.unpack(raw)
    if magic != FILE_MAGIC:
        raise LogError("queue.log has bad magic {!r} (not a Ferrow log)".format(magic),
                       "bad file magic")
    return Header(version, generation)


Progress = Callable[[int, int], None]

_CHUNK = 1 << 22


class LogScan:
    """Reads the frames of an open log file from offset 16.

    Iterating yields every intact frame (CRC right), decodable or not; when the
    iteration ends, `tail` tells where and why. `decode` False skips decoding
    the payloads; Enqueue records keep `body_limit` body bytes (all if None).
    The file is read in large chunks and parsed in place, since logs hold
    millions of small records.
    """

    def __init__(self, f: BinaryIO, decode: bool = True, body_limit: Optional[int] = None,
                 progress: Optional[Progress] = None, progress_step: int = 1 << 24) -> None:
        self._f = f
        self._decode = decode
        self._body_limit = body_limit
        self._progress = progress
        self._progress_step = progress_step
        self.size = os.fstat(f.fileno()).st_size
        self.header = read_header(f, self.size)
        self.tail: Optional[Tail] = None

    def __iter__(self) -> Iterator[Frame]:
        f = self._f
        decode = self._decode
        body_limit = self._body_limit
        crc32 = zlib.crc32
        unpack_header = _FRAME_HEADER.unpack_from
        buf = b""
        view = memoryview(buf)
        pos = 0  # position in buf of the next frame
        offset = FILE_HEADER_LEN  # its position in the file
        records = 0
        retries = 0
        next_report = self._progress_step
        f.seek(offset)

        def fill(need: int) -> Tuple[bytes, int]:
            """buf from pos on, extended to at least `need` bytes unless the
            file ends first; returns (new buf, its length)."""
            parts = [buf[pos:]]
            have = len(parts[0])
            while have < need:
                data = f.read(max(_CHUNK, need - have))
                if not data:
                    break
                parts.append(data)
                have += len(data)
            joined = b"".join(parts)
            return joined, len(joined)

        while True:
            if self._progress is not None and offset >= next_report:
                self._progress(offset, self.size)
                next_report = offset + self._progress_step
            damage = None
            avail = len(buf) - pos
            if avail < FRAME_HEADER_LEN:
                buf, avail = fill(FRAME_HEADER_LEN)
                view, pos = memoryview(buf), 0
                if avail == 0:
                    self.tail = Tail(offset, records, None)
                    return
                if avail < FRAME_HEADER_LEN:
                    damage = TRUNCATED_HEADER
            if damage is None:
                magic, length, crc = unpack_header(buf, pos)
                if magic != RECORD_MAGIC:
                    damage = BAD_MAGIC
                # Tested before reading on: a damaged length must not ask
                # for gigabytes.
                elif length > MAX_RECORD_LEN:
                    damage = "record length {} exceeds max {}".format(length, MAX_RECORD_LEN)
                else:
                    size = FRAME_HEADER_LEN + length
                    if avail < size:
                        buf, avail = fill(size)
                        view, pos = memoryview(buf), 0
                    if avail < size:
                        damage = TRUNCATED_PAYLOAD
                    elif crc32(view[pos + FRAME_HEADER_LEN:pos + size]) != crc:
                        damage = CRC_MISMATCH
            if damage is not None:
                # A frame that ends short may be one another process is
                # appending right now: look again while the file grows.
                if (damage in (TRUNCATED_HEADER, TRUNCATED_PAYLOAD)
                        and retries < _GROWING_TAIL_RETRIES and self._grew()):
                    retries += 1
                    continue
                self.tail = Tail(offset, records, damage)
                return
            retries = 0
            record: Optional[Record] = None
            error: Optional[str] = None
            if decode:
                try:
                    record = decode_at(buf, pos + FRAME_HEADER_LEN, length, body_limit)
                except DecodeError as e:
                    error = str(e)
            yield Frame(offset, size, record, error)
            pos += size
            offset += size
            records += 1

    def _grew(self) -> bool:
        size = os.fstat(self._f.fileno()).st_size
        grew = size > self.size
        self.size = max(self.size, size)
        return grew


def open_log(qdir: str) -> BinaryIO:
    """Opens DIR/queue.log for reading; never creates anything."""
    return open(os.path.join(qdir, LOG_NAME), "rb")


# ----------------------------------------------------------------- replay


class Message(NamedTuple):
    seq: int
    enqueued_ts_ms: int
    body_len: int
    body_offset: int
    deliveries: int
    # Lease deadline in ms since the epoch while leased, else None.
    deadline_ms: Optional[int]


class QueueView:
    """The queue state that replaying the log builds, applied record by record
    the way the engine applies them (records about absent ids change nothing)."""

    def __init__(self) -> None:
        # seq -> [enqueued_ts_ms, body_len, body_offset, deliveries, deadline or None]
        self._messages: Dict[int, List[Optional[int]]] = {}
        self.next_seq = 0
        self.live_bytes = 0
        self.enqueued_total = 0
        self.acked_total = 0
        self.requeued_total = 0
        self.dead_total = 0

    def apply(self, record: Record, offset: int) -> None:
        if isinstance(record, Enqueue):
            if record.seq >= self.next_seq:
                self.next_seq = record.seq + 1
            self.live_bytes += record.body_len + ENQUEUE_BODY_OFFSET
            self._messages[record.seq] = [record.enqueued_ts_ms, record.body_len,
                                          offset + ENQUEUE_BODY_OFFSET, 0, None]
            self.enqueued_total += 1
        elif isinstance(record, (Ack, Dead)):
            entry = self._messages.pop(record.seq, None)
            if entry is None:
                return
            body_len = entry[1]
            assert body_len is not None
            self.live_bytes = max(0, self.live_bytes - body_len - ENQUEUE_BODY_OFFSET)
            if isinstance(record, Ack):
                self.acked_total += 1
            else:
                self.dead_total += 1
        elif isinstance(record, Lease):
            entry = self._messages.get(record.seq)
            if entry is not None:
                entry[3] = record.deliveries
                entry[4] = record.deadline_ms
        else:
            entry = self._messages.get(record.seq)
            if entry is not None:
                entry[3] = record.deliveries
                entry[4] = None
                self.requeued_total += 1

    def messages(self) -> Iterator[Message]:
        """Every present message, by id."""
        for seq in sorted(self._messages):
            ts, body_len, body_offset, deliveries, deadline = self._messages[seq]
            assert ts is not None and body_len is not None
            assert body_offset is not None and deliveries is not None
            yield Message(seq, ts, body_len, body_offset, deliveries, deadline)

    def __len__(self) -> int:
        return len(self._messages)


def is_ready(message: Message, now_ms: int) -> bool:
    """Ready now: not leased, or leased with a deadline that has come (the next
    delivering call would hand it back first; a deadline equal to now counts
    as lapsed)."""
    return message.deadline_ms is None or message.deadline_ms <= now_ms


def now_ms() -> int:
    return max(0, time.time_ns() // 1_000_000)


def read_body(f: BinaryIO, message: Message, limit: Optional[int] = None) -> bytes:
    """The body of a message (its first `limit` bytes if given)."""
    n = message.body_len if limit is None else min(limit, message.body_len)
    f.seek(message.body_offset)
    return f.read(n)
