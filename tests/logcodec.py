"""A strict, independent reader of queue.log for tests: struct and zlib's
CRC-32, nothing of the engine."""
import struct
import zlib

ENQ, ACK, LEASE, REQUEUE, DEAD = 1, 2, 3, 4, 5
FIELDS = {ENQ: "<QQI", ACK: "<Q", LEASE: "<QQI", REQUEUE: "<QI", DEAD: "<Q"}


def parse_log(data):
    """Strictly decodes a whole log: (generation, [(kind, fields)])."""
    assert len(data) >= 16, f"a log of {len(data)} bytes has no header"
    magic, _, generation = struct.unpack_from("<4sIQ", data)
    assert magic == b"FWFL"
    records, off = [], 16
    while off < len(data):
        magic, n, crc = struct.unpack_from("<4sII", data, off)
        payload = data[off + 12:off + 12 + n]
        assert magic == b"FWR1" and len(payload) == n and zlib.crc32(payload) == crc, off
        fields = struct.unpack_from(FIELDS[payload[0]], payload, 1)
        if payload[0] == ENQ:
            fields = fields[:2] + (payload[21:],)
        records.append((payload[0], fields))
        off += 12 + n
    return generation, records


def encode_log(records, generation=0):
    """The bytes of a log holding `records`, given as parse_log returns them."""
    out = [struct.pack("<4sIQ", b"FWFL", 0, generation)]
    for kind, fields in records:
        if kind == ENQ:
            seq, ts, body = fields
            payload = bytes([kind]) + struct.pack("<QQI", seq, ts, len(body)) + body
        else:
            payload = bytes([kind]) + struct.pack(FIELDS[kind], *fields)
        out.append(struct.pack("<4sII", b"FWR1", len(payload), zlib.crc32(payload)) + payload)
    return b"".join(out)
