"""dramatiq on Ferrow queues (ferrow_tools.integrations.dramatiq_broker): real `dramatiq`
worker processes on a directory and on the shared Redis server."""
import json
import os
import subprocess
import sys
import textwrap
import time

import dramatiq
import pytest

from ferrow_tools.integrations.dramatiq_broker import FerrowBroker
from ferrow_tools.integrations.named_queues import queue_target
from ferrow_tools.targets import dead_letter_target, open_queue
from framework_workers import FrameworkRun, kill_in_the_middle, start_worker, stop_worker, wait_until

TASKS = 200
THREADS = 2
LEASE_MS = 1000
DELAY_MS = 1500
RETRIES = 2

APP = textwrap.dedent('''
    import dramatiq
    from dramatiq.middleware import CurrentMessage
    from ferrow_tools.integrations.dramatiq_broker import FerrowBroker

    broker = FerrowBroker(os.environ["TEST_BROKER"], lease_ms=int(os.environ["TEST_LEASE_MS"]))
    broker.add_middleware(CurrentMessage())
    dramatiq.set_broker(broker)
    QUEUE = os.environ["TEST_QUEUE"]

    @dramatiq.actor(queue_name=QUEUE)
    def record(task_id):
        run_task(task_id, CurrentMessage.get_current_message().deliveries > 1)

    @dramatiq.actor(queue_name=QUEUE, max_retries=int(os.environ["TEST_RETRIES"]),
                    min_backoff=10, max_backoff=20)
    def always_fails(task_id):
        run_task(task_id, False)
        raise ValueError("poison {}".format(task_id))
''')


class DramatiqRun(FrameworkRun):
    def __init__(self, tmp_path, queues_base):
        base, queue = queues_base
        super().__init__(tmp_path, "ferrow_dramatiq_app", APP, base, queue,
                         queue_target(base, queue), TEST_LEASE_MS=LEASE_MS, TEST_RETRIES=RETRIES)
        self.broker = FerrowBroker(base)
        self.broker.declare_queue(queue)

    def send(self, actor, *args, **options):
        message = dramatiq.Message(queue_name=self.queue, actor_name=actor, args=args, kwargs={},
                                   options={})
        return self.broker.enqueue(message, **options)

    def start(self, name):
        return start_worker([sys.executable, "-m", "dramatiq", "ferrow_dramatiq_app",
                             "--processes", "1", "--threads", str(THREADS)],
                            self.dir, self.env, name)


def test_worker_killed_mid_run(tmp_path, queues_base):
    """dramatiq acknowledges after the task: the tasks running at the kill run
    again, counted as redelivered, and no other task runs twice."""
    run = DramatiqRun(tmp_path, queues_base)
    for i in range(TASKS):
        run.send("record", i)
    running, (starts, done, flags, _) = kill_in_the_middle(
        run, TASKS, THREADS, acked_at_start=False)
    assert len(running) == THREADS
    assert done == set(range(TASKS))
    assert {i for i, n in starts.items() if n > 1} == running
    assert max(starts.values()) == 2 and all(flags[i] == [False, True] for i in running)


def test_delay_and_dead_letters(tmp_path, queues_base):
    """A delayed message (put with a delay longer than the lease) runs once,
    and not before its delay; a message that keeps failing
    runs 1 + retries times and ends in the queue's dead letters, which
    ferrow-admin lists."""
    run = DramatiqRun(tmp_path, queues_base)
    sent_at = time.time()
    run.send("record", 1, delay=DELAY_MS)
    run.send("always_fails", 2)
    worker = run.start("worker")
    dead = open_queue(dead_letter_target(run.target))
    try:
        wait_until(lambda: 1 in run.runs.read().done and dead.available() == 1,
                   "the delayed task and the dead letter", [worker])
    finally:
        stop_worker(worker)
    runs = run.runs.read()
    # dramatiq counts due times in whole milliseconds, rounded down.
    assert runs.started_at[1] - sent_at >= DELAY_MS / 1000.0 - 0.001
    assert dict(runs.starts) == {1: 1, 2: 1 + RETRIES}
    listed = subprocess.run([sys.executable, "-m", "ferrow_tools", "dead", "list", run.target,
                             "--json"], capture_output=True, text=True, check=True).stdout
    letters = [json.loads(line) for line in listed.splitlines()]
    assert [letter["reason"] for letter in letters] == ["ValueError: poison 2"]
