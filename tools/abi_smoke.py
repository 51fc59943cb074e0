"""Exercises an installed ferrow build; run by abi_check.sh under each CPython."""
import sys
import tempfile

import ferrow

q = ferrow.FerrowCore(":memory:")
ids = q.enqueue_batch([b"a", bytearray(b"b"), [99]])
assert ids == [0, 1, 2], ids
seq, body, deliveries, _ = q.dequeue(lease_ms=0)
assert (seq, body, deliveries) == (0, b"a", 1)
assert q.dequeue()[0] == 0  # the lapsed lease comes back first
assert q.ack(0) and q.ack_batch([1, 2]) == 2
assert q.stats()["total"] == 0
try:
    q.enqueue("text")
except TypeError as e:
    assert str(e) == "argument 'body': Can't extract `str` to `Vec`", e
else:
    raise AssertionError("str body accepted")
print("CPython %d.%d: ok (%s)" % (sys.version_info[:2] + (ferrow.__file__,)))
