"""Celery on Ferrow queues (ferrow_tools.integrations.kombu_transport): real `celery worker`
processes with the prefork pool, on a directory and on the shared Redis
server, killed with SIGKILL mid-run."""
import os
import sys
import textwrap

import celery
import pytest

from ferrow_tools.integrations import kombu_transport  # registers the "ferrow" transport
from ferrow_tools.integrations.named_queues import queue_target
from ferrow_tools.targets import is_redis, open_queue
from framework_workers import FrameworkRun, kill_in_the_middle, start_worker, stop_worker, wait_until

TASKS = 200
CONCURRENCY = 2
LEASE_MS = 1000

APP = textwrap.dedent('''
    import ferrow_tools.integrations.kombu_transport  # registers the "ferrow" transport
    from celery import Celery

    app = Celery("ferrow_test", broker=os.environ["TEST_BROKER"])
    app.conf.update(task_default_queue=os.environ["TEST_QUEUE"],
                    task_acks_late=os.environ["TEST_ACKS_LATE"] == "1",
                    broker_transport_options={"lease_ms": int(os.environ["TEST_LEASE_MS"])},
                    task_ignore_result=True, worker_hijack_root_logger=False)

    @app.task(name="record", bind=True)
    def record(self, task_id):
        run_task(task_id, self.request.delivery_info.get("redelivered"))
''')


class CeleryRun(FrameworkRun):
    def __init__(self, tmp_path, queues_base, acks_late):
        base, queue = queues_base
        self.url = ("ferrow+" if is_redis(base) else "ferrow://") + base
        super().__init__(tmp_path, "ferrow_celery_app", APP, self.url, queue,
                         queue_target(base, queue), TEST_ACKS_LATE=int(acks_late),
                         TEST_LEASE_MS=LEASE_MS)
        self.app = celery.Celery("producer", broker=self.url)
        self.app.conf.task_default_queue = queue

    def start(self, name):
        return start_worker([sys.executable, "-m", "celery", "-A", "ferrow_celery_app", "worker",
                             "--pool", "prefork", "-c", str(CONCURRENCY), "-n", name + "@%h",
                             "-l", "warning"], self.dir, self.env, name)


@pytest.mark.parametrize("acks_late", [True, False], ids=["acks_late", "default"])
def test_worker_killed_mid_run(tmp_path, queues_base, acks_late):
    """With acks_late the tasks running at the kill run again, and only they;
    by default Celery acknowledges a task as it starts, so those are the ones
    it loses, as its documentation says. Prefetched tasks come back either way."""
    run = CeleryRun(tmp_path, queues_base, acks_late)
    for i in range(TASKS):
        run.app.send_task("record", args=(i,))
    running, (starts, done, flags, _) = kill_in_the_middle(
        run, TASKS, CONCURRENCY, acked_at_start=not acks_late)
    assert len(running) == CONCURRENCY
    assert set(starts) == set(range(TASKS))
    twice = {i for i, n in starts.items() if n > 1}
    if acks_late:
        assert twice == running and max(starts.values()) == 2
        assert done == set(range(TASKS))
        assert all(flags[i] == [False, True] for i in running)
    else:
        assert twice == set()
        assert done == set(range(TASKS)) - running


def test_countdown_longer_than_the_lease(tmp_path, queues_base):
    """A task held in memory past several lease lengths runs once; a task
    still held at a warm shutdown is handed back at once, not left leased."""
    run = CeleryRun(tmp_path, queues_base, acks_late=False)
    worker = run.start("countdown")
    try:
        run.app.send_task("record", args=(1,), countdown=2.5 * LEASE_MS / 1000)
        run.app.send_task("record", args=(2,), countdown=600)
        wait_until(lambda: 1 in run.runs.read().done, "the countdown task", [worker])
    finally:
        stop_worker(worker)
    runs = run.runs.read()
    assert (runs.starts, runs.flags[1]) == ({1: 1}, [False])
    q = open_queue(run.target)
    assert (q.available(), q.in_flight()) == (1, 0)


@pytest.mark.parametrize("url, queue, error", [
    ("ferrow://", "tasks", "names a directory"),
    ("ferrow+redis://127.0.0.1:1/0?queue=x", "tasks", "takes no queue parameter"),
    ("ferrow:///tmp/never-created", "../elsewhere", "plain file name"),
    ("ferrow+redis://127.0.0.1:1/0", "tasks{x}", "no braces"),
], ids=["no directory", "redis queue given", "queue outside", "redis braces"])
def test_bad_broker_urls_and_queue_names(url, queue, error):
    with pytest.raises(ValueError, match=error):
        queue_target(kombu_transport.base_target(url), queue)
