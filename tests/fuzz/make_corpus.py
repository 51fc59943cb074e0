"""Writes the seed corpus of the log fuzzers: small valid and damaged logs for
replay_fuzzer (whole queue.log files) and appended tails for catch_up_fuzzer
(a variation byte, then the bytes another process appended to its log).

    python3 tests/fuzz/make_corpus.py

The output is deterministic; rerun it after changing the cases below."""
import os
import shutil
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ENQ, ACK, LEASE, REQUEUE, DEAD = 1, 2, 3, 4, 5
FAR = 1 << 62  # a lease deadline that never lapses


def header(generation=0, version=1, magic=b"FWFL"):
    return magic + struct.pack("<IQ", version, generation)


def frame(payload, crc=None):
    return struct.pack("<4sII", b"FWR1", len(payload),
                       zlib.crc32(payload) if crc is None else crc) + payload


def enq(seq, body, ts=1_700_000_000_000):
    return frame(struct.pack("<BQQI", ENQ, seq, ts, len(body)) + body)


def lease(seq, deadline=FAR, deliveries=1):
    return frame(struct.pack("<BQQI", LEASE, seq, deadline, deliveries))


def requeue(seq, deliveries=1):
    return frame(struct.pack("<BQI", REQUEUE, seq, deliveries))


def ack(seq):
    return frame(struct.pack("<BQ", ACK, seq))


def dead(seq):
    return frame(struct.pack("<BQ", DEAD, seq))


def payloads(*frames):
    """The framed form that both fuzzers also accept: (length byte, payload)*,
    framed by the fuzzer itself with a valid CRC."""
    return b"".join(bytes([len(f) - 12]) + f[12:] for f in frames)


def flip(data, at, bit=0):
    return data[:at] + bytes([data[at] ^ (1 << bit)]) + data[at + 1:]


EVERY_KIND = (enq(0, b"alpha") + enq(1, b"") + enq(2, b"b" * 40) + lease(0) + requeue(0, 1)
              + lease(1, deadline=1) + ack(2) + enq(3, b"zz") + dead(3) + lease(0, deliveries=2))

REPLAY = {
    "empty": b"",
    "short": b"FWFL\x01\x00",
    "header-only": header(generation=7, version=3),
    "every-kind": header() + EVERY_KIND,
    "torn-last-frame": header() + EVERY_KIND[:-5],
    "torn-header": header() + enq(0, b"x") + b"FWR1\x09",
    "crc-flip-in-middle": header() + flip(EVERY_KIND, 40),
    "bad-record-magic": header() + enq(0, b"x") + b"FWR2" + ack(0)[4:],
    "oversize-length": header() + enq(0, b"x") + struct.pack("<4sII", b"FWR1", 0x20000001, 0),
    "unknown-type": header() + enq(0, b"x") + frame(b"\x09" + bytes(8)),
    "empty-payload": header() + enq(0, b"x") + frame(b""),
    "short-body": header() + frame(struct.pack("<BQQI", ENQ, 0, 1, 99) + b"abc"),
    "short-requeue": header() + enq(0, b"x") + frame(struct.pack("<BQ", REQUEUE, 0)),
    "extra-bytes": header() + enq(0, b"x") + frame(struct.pack("<BQ", ACK, 0) + b"xyz"),
    "repeated-and-top-seqs": header(generation=2) + enq(5, b"one") + enq(5, b"two")
    + enq(2**64 - 1, b"top") + lease(5, deadline=2**64 - 1, deliveries=2**32 - 1),
    "foreign-file": b"not a queue log at all, just text\n",
    "framed-every-kind": b"#" + payloads(enq(0, b"alpha"), enq(1, b""), lease(0), requeue(0, 1),
                                        lease(1, deadline=1), ack(0), dead(1), enq(2, b"x"))
    + b"\x15\x03",
    "framed-odd-payloads": b"#" + payloads(frame(b""), frame(b"\x02" + bytes(11)),
                                          frame(b"\x01" + bytes(16)), frame(b"\x04" + bytes(9))),
}

CATCH_UP = {
    # The queue under test holds messages 0 and 2 ready, 1 leased, 3 acknowledged.
    "tail-every-kind": b"\x00" + lease(0) + requeue(0, 1) + ack(2) + enq(4, b"tail")
    + dead(4) + lease(1, deadline=1, deliveries=2),
    "tail-after-delivery": b"\x01" + enq(4, b"new body") + lease(4) + ack(0),
    "torn-tail": b"\x00" + enq(4, b"tail") + enq(5, b"torn")[:-2],
    "crc-damaged-tail": b"\x01" + ack(2) + flip(enq(4, b"tail"), 20) + ack(0),
    "undecodable-tail": b"\x00" + ack(2) + frame(b"\x07" + bytes(12)),
    "garbage-tail": b"\x00" + b"\xff" * 7,
    "replaced-new-generation": b"\x02" + header(generation=1) + enq(0, b"moved") + lease(0),
    "replaced-same-generation": b"\x03" + header() + enq(0, b"other") * 4 + ack(1),
    "replaced-by-short-file": b"\x02" + b"FWFL",
    "replaced-by-foreign-file": b"\x03" + b"#!/bin/sh\n",
    "framed-tail": b"\x04" + payloads(lease(0), requeue(0, 3), ack(2), enq(4, b"tail"),
                                      dead(4), lease(1, deadline=1, deliveries=2)),
    "framed-tail-after-delivery": b"\x05" + payloads(enq(9, b"nine"), lease(9), ack(0))
    + b"\x0d\x04",
    "framed-replacement": b"\x06" + payloads(enq(0, b"moved"), lease(0), enq(1, b"")),
}


def write(kind, cases):
    directory = os.path.join(HERE, "corpus", kind)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, data in cases.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("replay", REPLAY)
    write("catch_up", CATCH_UP)
