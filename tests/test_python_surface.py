"""What Python code sees of the ferrow module: names, signatures, argument
binding and conversion, result shapes and exception classes."""

import errno
import pathlib
import subprocess
import sys
import weakref

import pytest

import ferrow
from ferrow import FerrowCore


@pytest.fixture
def q():
    return FerrowCore(":memory:")


def bodies(q):
    """Drains the queue and returns the delivered bodies in order."""
    return [m[1] for m in q.dequeue_batch(1000)]


# -- module and class ---------------------------------------------------------


def test_module_attributes():
    assert ferrow.__all__ == ["FerrowCore", "__version__"]
    assert ferrow.__version__ == "0.1.0"
    assert ferrow.__doc__ == ""
    assert not hasattr(ferrow, "PanicException")
    import ferrow as again

    assert again is ferrow


def test_second_initialisation_is_refused():
    script = (
        "import sys, ferrow\n"
        "del sys.modules['ferrow']\n"
        "try:\n"
        "    import ferrow\n"
        "except ImportError:\n"
        "    print('refused')\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    assert out.strip() == "refused"


def test_class_identity():
    assert (FerrowCore.__name__, FerrowCore.__qualname__) == ("FerrowCore", "FerrowCore")
    assert FerrowCore.__module__ == "builtins"
    if sys.version_info >= (3, 10):  # older interpreters drop a heap type's signature
        assert FerrowCore.__text_signature__ == (
            "(path, sync_interval_ms=None, default_lease_ms=None, auto_compact_bytes=None)")
    assert not FerrowCore.__doc__
    with pytest.raises(TypeError):
        type("Sub", (FerrowCore,), {})
    own = [name for name in vars(FerrowCore) if not name.startswith("__")]
    assert own == list(DOCS)
    assert "__init__" not in vars(FerrowCore) and "__repr__" not in vars(FerrowCore)


def test_instance_has_no_dict_or_weakref(q):
    with pytest.raises(AttributeError):
        q.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(q)


DOCS = {
    "enqueue": "enqueue($self, body)\n--\n\nAppend a message; returns its monotonic sequence id (the ack/nack handle).",
    "enqueue_batch": "enqueue_batch($self, bodies)\n--\n\nAppend many messages under a single lock + single fsync. Returns the\nassigned sequence ids in order.",
    "dequeue": "dequeue($self, lease_ms=None)\n--\n\nLease the next ready message for `lease_ms` (or the queue default).\nReturns `(seq, body, deliveries, enqueued_ts_ms)` or `None` if empty.\nExpired in-flight leases are reclaimed first, so a consumer that crashed\nwithout acking has its messages redelivered.",
    "dequeue_batch": "dequeue_batch($self, max, lease_ms=None)\n--\n\nLease up to `max` ready messages at once.",
    "ack": "ack($self, seq)\n--\n\nAcknowledge (permanently remove) a message. Returns whether it existed.",
    "ack_batch": "ack_batch($self, seqs)\n--\n\n",
    "nack": "nack($self, seq, requeue=True)\n--\n\nNegative-acknowledge. `requeue=true` returns the message to the ready set\nfor redelivery; `requeue=false` drops it (dead-letters). Returns whether\nit existed.",
    "extend_lease": "extend_lease($self, seq, lease_ms=None)\n--\n\nRenew the lease on an in-flight message without redelivering it.",
    "available": "available($self)\n--\n\nNumber of messages ready for immediate delivery.",
    "in_flight": "in_flight($self)\n--\n\nNumber of leased (in-flight, not-yet-acked) messages.",
    "stats": "stats($self)\n--\n\n",
    "flush": "flush($self)\n--\n\nForce a flush + fsync of any buffered records.",
    "compact": "compact($self)\n--\n\nRewrite the log keeping only live messages, reclaiming acked space.",
    "purge": "purge($self)\n--\n\nRemove every message and reset the log (a fresh generation so other\nprocesses reload).",
    "verify_integrity": "verify_integrity($self)\n--\n\nRe-read the whole log, CRC-verifying every record. Returns a report dict\n`{ok, records, bytes, message}`. Does not mutate state.",
}


@pytest.mark.parametrize("name", DOCS)
def test_method_docstrings(name):
    method = getattr(FerrowCore, name)
    # The interpreter splits the raw docstring at the separator; rebuild it.
    rebuilt = f"{name}{method.__text_signature__}\n--\n\n{method.__doc__ or ''}"
    assert rebuilt == DOCS[name]
    assert (method.__doc__ is None) == (name in ("stats", "ack_batch"))


# -- argument binding ---------------------------------------------------------


@pytest.mark.parametrize("call, message", [
    (lambda q: FerrowCore(),
     "FerrowCore.__new__() missing 1 required positional argument: 'path'"),
    (lambda q: FerrowCore(":memory:", 1, 2, 3, 4),
     "FerrowCore.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda q: FerrowCore(":memory:", path=":memory:"),
     "FerrowCore.__new__() got multiple values for argument 'path'"),
    (lambda q: q.ack(1, 2), "FerrowCore.ack() takes 1 positional arguments but 2 were given"),
    (lambda q: q.dequeue(1, 2),
     "FerrowCore.dequeue() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda q: q.ack(1, seq=1), "FerrowCore.ack() got multiple values for argument 'seq'"),
    (lambda q: q.ack(sequence=1), "FerrowCore.ack() got an unexpected keyword argument 'sequence'"),
    (lambda q: q.dequeue_batch(lease_ms=5),
     "FerrowCore.dequeue_batch() missing 1 required positional argument: 'max'"),
    (lambda q: q.enqueue(**{}), "FerrowCore.enqueue() missing 1 required positional argument: 'body'"),
])
def test_binding_errors(q, call, message):
    with pytest.raises(TypeError) as info:
        call(q)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["available", "in_flight", "stats", "flush", "compact",
                                  "purge", "verify_integrity"])
def test_methods_without_parameters_reject_arguments(q, name):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(q, name)(1)


def test_every_parameter_binds_by_keyword(q):
    q = FerrowCore(path=":memory:", sync_interval_ms=0, default_lease_ms=None,
                   auto_compact_bytes=1)
    assert q.enqueue_batch(bodies=[b"a", b"b"]) == [0, 1]
    assert q.enqueue(body=b"c") == 2
    assert q.dequeue(lease_ms=100)[0] == 0
    assert [m[0] for m in q.dequeue_batch(lease_ms=None, max=1)] == [1]
    assert q.extend_lease(lease_ms=5, seq=1) is True
    assert q.nack(requeue=False, seq=1) is True
    assert q.ack(seq=0) is True
    assert q.ack_batch(seqs=[2, 7]) == 1


# -- conversions --------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class UnsizedSeq:
    """A sequence whose length cannot be asked; only iteration counts."""

    def __getitem__(self, i):
        return b"xy"[i]

    def __len__(self):
        raise ValueError("no length")


@pytest.mark.parametrize("body", [b"ab", bytearray(b"ab"), [97, 98], (97, 98),
                                  [Index(97), 98], type("B", (bytes,), {})(b"ab"),
                                  memoryview(b"ab")])
def test_byte_string_sources_agree(q, body):
    q.enqueue(body)
    (message,) = q.dequeue_batch(5)
    assert type(message[1]) is bytes and message[1] == b"ab"


def test_length_hint_failure_is_ignored(q):
    q.enqueue(UnsizedSeq())
    assert bodies(q) == [b"xy"]


@pytest.mark.parametrize("call, exc, message", [
    (lambda q: q.enqueue("ab"), TypeError, "argument 'body': Can't extract `str` to `Vec`"),
    (lambda q: q.enqueue({1: 2}), TypeError,
     "argument 'body': 'dict' object cannot be converted to 'Sequence'"),
    (lambda q: q.enqueue(i for i in [1]), TypeError,
     "argument 'body': 'generator' object cannot be converted to 'Sequence'"),
    (lambda q: q.enqueue([1, 2, 256]), OverflowError, "out of range integral type conversion attempted"),
    (lambda q: q.enqueue([-1]), OverflowError, "out of range integral type conversion attempted"),
    (lambda q: q.enqueue([2 ** 70]), OverflowError, None),
    (lambda q: q.enqueue([1.0]), TypeError, "argument 'body': 'float' object cannot be interpreted as an integer"),
    (lambda q: q.enqueue_batch(b"ab"), TypeError,
     "argument 'bodies': 'int' object cannot be converted to 'Sequence'"),
    (lambda q: q.enqueue_batch([b"a", "b"]), TypeError, "argument 'bodies': Can't extract `str` to `Vec`"),
    (lambda q: q.enqueue_batch("ab"), TypeError, "argument 'bodies': Can't extract `str` to `Vec`"),
    (lambda q: q.ack_batch("ab"), TypeError, "argument 'seqs': Can't extract `str` to `Vec`"),
    (lambda q: q.ack_batch({1}), TypeError, "argument 'seqs': 'set' object cannot be converted to 'Sequence'"),
    (lambda q: q.ack_batch([1, -1]), OverflowError, None),
    (lambda q: q.ack(-1), OverflowError, None),
    (lambda q: q.ack(2 ** 64), OverflowError, None),
    (lambda q: q.ack(1.5), TypeError, "argument 'seq': 'float' object cannot be interpreted as an integer"),
    (lambda q: q.ack(Index(-3)), OverflowError, None),
    (lambda q: q.dequeue_batch("1", "x"), TypeError, "argument 'max': "),
    (lambda q: q.dequeue(lease_ms="1"), TypeError, "argument 'lease_ms': "),
    (lambda q: q.extend_lease(0, 1.5), TypeError, "argument 'lease_ms': "),
    (lambda q: q.nack(0, 0), TypeError, "argument 'requeue': 'int' object cannot be converted to 'PyBool'"),
    (lambda q: q.nack(0, 1), TypeError, "argument 'requeue': 'int' object cannot be converted to 'PyBool'"),
    (lambda q: q.nack(0, None), TypeError,
     "argument 'requeue': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda q: q.nack("0", 0), TypeError, "argument 'seq': "),
    (lambda q: FerrowCore(pathlib.PurePosixPath("/tmp/q")), TypeError,
     "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'"),
    (lambda q: FerrowCore(b":memory:"), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda q: FerrowCore(":memory:", -1), OverflowError, None),
    (lambda q: FerrowCore(":memory:", None, 1.5), TypeError, "argument 'default_lease_ms': "),
    (lambda q: FerrowCore(":memory:", auto_compact_bytes="1"), TypeError, "argument 'auto_compact_bytes': "),
    (lambda q: FerrowCore("\udc80"), UnicodeEncodeError, None),
])
def test_conversion_errors(q, call, exc, message):
    with pytest.raises(exc) as info:
        call(q)
    assert type(info.value) is exc
    text = str(info.value)
    if message is None:
        assert not text.startswith("argument ")  # only plain TypeErrors get the prefix
    elif message.endswith(": "):
        assert text.startswith(message)
    else:
        assert text == message
    # Nothing reached the queue.
    assert q.stats()["next_seq"] == 0


class Failing:
    """A sequence whose iteration raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise self.exc


def test_type_error_prefix_keeps_cause(q):
    cause = KeyError("root")
    error = TypeError("bad item")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        q.enqueue(Failing(error))
    assert str(info.value) == "argument 'body': bad item"
    assert info.value is not error and info.value.__cause__ is cause


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [type("TypeErrorSub", (TypeError,), {})("sub"), ValueError("v")])
@pytest.mark.parametrize("call", [
    lambda q, exc: q.ack_batch(Failing(exc)),
    lambda q, exc: q.enqueue(Failing(exc)),
    lambda q, exc: q.ack(RaisingIndex(exc)),
    lambda q, exc: q.enqueue([RaisingIndex(exc)]),
])
def test_other_exceptions_pass_through(q, exc, call):
    with pytest.raises(type(exc)) as info:
        call(q, exc)
    assert info.value is exc


def test_integer_like_values(q):
    assert q.enqueue_batch([b"a", b"b", b"c"]) == [0, 1, 2]
    assert q.dequeue_batch(Index(3), lease_ms=Index(60000))[2][0] == 2
    assert q.ack(True) is True  # True is the int 1
    assert q.ack_batch(b"\x00\x02") == 2  # a bytes object is a sequence of ints
    assert q.stats()["total"] == 0


def test_numpy_booleans_are_flags(q):
    np = pytest.importorskip("numpy")
    q.enqueue_batch([b"a", b"b"])
    q.dequeue_batch(2)
    assert q.nack(0, np.True_) and q.nack(1, requeue=np.bool_(False))
    assert q.stats()["requeued_total"] == 1 and q.stats()["dead_total"] == 1


def test_numpy_rule_goes_by_type_name_and_module(q):
    fake = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
    other = type("bool_", (), {"__module__": "mypkg", "__bool__": lambda self: False})
    q.enqueue(b"a")
    q.dequeue()
    assert q.nack(0, fake()) is True
    assert q.stats()["dead_total"] == 1
    with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
        q.nack(0, other())


# -- results, defaults, errors ------------------------------------------------


def test_result_types(q):
    assert q.dequeue() is None and q.dequeue_batch(5) == [] and q.dequeue_batch(0) == []
    seq = q.enqueue(b"hello")
    seq_type, body, deliveries, ts = q.dequeue()
    assert (seq_type, body, deliveries) == (seq, b"hello", 1)
    assert type(ts) is int and ts > 0
    assert q.extend_lease(seq) is True and q.extend_lease(99) is False
    assert (q.available(), q.in_flight()) == (0, 1)
    assert (q.flush(), q.compact(), q.purge()) == (None, None, None)
    stats = q.stats()
    assert list(stats) == ["ready", "in_flight", "total", "enqueued_total", "acked_total",
                           "requeued_total", "dead_total", "next_seq", "live_bytes",
                           "log_bytes", "generation", "persistent"]
    assert stats["persistent"] is False
    assert all(type(v) is int for k, v in stats.items() if k != "persistent")
    report = q.verify_integrity()
    assert list(report) == ["ok", "records", "bytes", "message"]
    assert [type(v) for v in report.values()] == [bool, int, int, str]
    stats.clear()
    report.clear()
    assert q.stats() is not q.stats() and len(q.stats()) == 12 and len(q.verify_integrity()) == 4


def test_empty_batches_shortcut(q):
    first, second = q.enqueue_batch([]), q.enqueue_batch(())
    assert first == [] and first is not second
    assert q.ack_batch([]) == 0
    assert q.stats()["next_seq"] == 0


@pytest.mark.parametrize("kwargs, lapsed", [
    ({}, False),
    ({"sync_interval_ms": None, "default_lease_ms": None, "auto_compact_bytes": None}, False),
    ({"sync_interval_ms": 0}, False),
    ({"default_lease_ms": 0}, True),
])
def test_default_lease_reaches_dequeue(kwargs, lapsed):
    q = FerrowCore(":memory:", **kwargs)
    q.enqueue(b"a")
    q.dequeue(None)
    # A lease of 0 ms has lapsed by the next expiring operation; 30 s has not.
    assert q.available() == (1 if lapsed else 0)


def test_os_failures_are_plain_oserror_with_their_errno(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_bytes(b"")
    with pytest.raises(OSError) as info:
        FerrowCore(str(blocker / "queue"))
    error = info.value
    assert type(error) is OSError
    assert str(error).startswith("Ferrow I/O error: ") and error.args == (str(error),)
    assert str(error).endswith("(os error {})".format(errno.ENOTDIR))
    assert (error.errno, error.strerror, error.filename) == (errno.ENOTDIR, None, None)
    # Which call failed on which file: a note, which leaves str() the message.
    assert error.__notes__ == ["Ferrow: mkdir failed on {}".format(blocker)]
