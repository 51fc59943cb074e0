"""The copies of the engine's file layouts kept by the Python tools and the
Redis queue's scripts, held to the engine's own values (`ferrow._layout`,
built from the headers that the engine compiles)."""
import os
import re

import pytest

import ferrow
from ferrow_tools.admin import migrate
from ferrow_tools.dashboard import log_follower
from ferrow_tools.files import lock_file, logfile
from ferrow_tools.redis import arguments
from ferrow_tools.scheduling import follower


def lua_constant(name):
    path = os.path.join(os.path.dirname(arguments.__file__), "lua", "prelude.lua")
    with open(path, encoding="utf-8") as f:
        found = re.search(r"^local {} = (\d+)$".format(name), f.read(), re.MULTILINE)
    assert found, f"prelude.lua defines no {name}"
    return int(found.group(1))


# (the engine's name, where the copy lives, the copy)
COPIES = [
    ("FILE_HEADER_LEN", "logfile.FILE_HEADER_LEN", lambda: logfile.FILE_HEADER_LEN),
    ("FRAME_HEADER_LEN", "logfile.FRAME_HEADER_LEN", lambda: logfile.FRAME_HEADER_LEN),
    # Readers and writers that unpack frame headers with a struct of their own.
    ("FRAME_HEADER_LEN", "logfile frame struct", lambda: logfile._FRAME_HEADER.size),
    ("FRAME_HEADER_LEN", "dashboard follower frame struct",
     lambda: log_follower._FRAME_HEADER.size),
    ("FRAME_HEADER_LEN", "scheduling follower frame struct", lambda: follower._FRAME_HEADER.size),
    ("FRAME_HEADER_LEN", "migrate frame struct", lambda: migrate._FRAME.size),
    ("MAX_RECORD_LEN", "logfile.MAX_RECORD_LEN", lambda: logfile.MAX_RECORD_LEN),
    ("ENQUEUE_PAYLOAD_HEADER_LEN", "logfile.ENQUEUE_PAYLOAD_HEADER_LEN",
     lambda: logfile.ENQUEUE_PAYLOAD_HEADER_LEN),
    ("ENQUEUE_BODY_OFFSET", "logfile.ENQUEUE_BODY_OFFSET", lambda: logfile.ENQUEUE_BODY_OFFSET),
    # The generation is the last field of the header struct logfile unpacks.
    ("FILE_GENERATION_OFFSET", "logfile header struct", lambda: logfile._HEADER.size - 8),
    ("MAX_BODY_LEN", "redis.arguments.MAX_BODY", lambda: arguments.MAX_BODY),
    ("ENQUEUE_BODY_OFFSET", "prelude.lua RECORD_OVERHEAD",
     lambda: lua_constant("RECORD_OVERHEAD")),
    ("LOCK_SLOTS_OFFSET", "lock_file.SLOTS_OFFSET", lambda: lock_file.SLOTS_OFFSET),
    ("LOCK_SLOT_LEN", "lock_file.SLOT_LEN", lambda: lock_file.SLOT_LEN),
    ("LOCK_SLOT_LEN", "lock_file.SLOT struct", lambda: lock_file.SLOT.size),
    ("LOCK_SLOT_COUNT", "lock_file.SLOT_COUNT", lambda: lock_file.SLOT_COUNT),
    ("LOCK_TOKEN_TAG", "lock_file.TOKEN_TAG", lambda: lock_file.TOKEN_TAG),
    ("WAITERS_BIT", "lock_file.WAITERS_BIT", lambda: lock_file.WAITERS_BIT),
    ("SLOT_MASK", "lock_file.SLOT_MASK", lambda: lock_file.SLOT_MASK),
]


@pytest.mark.parametrize("engine_name, where, copy", COPIES, ids=[c[1] for c in COPIES])
def test_every_copy_of_a_layout_constant_equals_the_engines(engine_name, where, copy):
    assert copy() == ferrow._layout[engine_name], where
