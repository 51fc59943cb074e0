"""Celery on Ferrow queues (ferrow_tools.integrations.kombu_transport): real `celery worker`
processes with the prefork pool, on a directory and on the shared Redis
server, killed with SIGKILL mid-run, inspected and shut down by `celery`
commands and watched by a Flower process."""
import json
import os
import subprocess
import sys
import textwrap
import time
import urllib.request

import celery
import kombu
import pytest

from ferrow_tools import Queue
from ferrow_tools.integrations import kombu_transport  # registers the "ferrow" transport
from ferrow_tools.integrations.named_queues import queue_target
from ferrow_tools.targets import is_redis
from conftest import free_port
from framework_workers import (WAIT_S, FrameworkRun, kill_in_the_middle, start_worker, stop_worker,
                               wait_until)

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

    def celery(self, *args):
        return [sys.executable, "-m", "celery", "-A", "ferrow_celery_app", *args]

    def start(self, name, *options):
        return start_worker(self.celery("worker", "--pool", "prefork", "-c", str(CONCURRENCY),
                                        "-n", name + "@%h", "-l", "warning", *options),
                            self.dir, self.env, name)

    def command(self, *args):
        """A `celery` command (inspect, control) run to its end; its output."""
        out = subprocess.run(self.celery(*args), cwd=self.dir, env=dict(os.environ, **self.env),
                             capture_output=True, text=True, timeout=WAIT_S)
        return out.stdout + out.stderr


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
    """A task with a countdown of several lease lengths runs once, when due;
    a task due later waits in the queue, not in the worker, and is still
    waiting after a warm shutdown."""
    run = CeleryRun(tmp_path, queues_base, acks_late=False)
    worker = run.start("countdown")
    try:
        sent_at = time.time()
        run.app.send_task("record", args=(1,), countdown=2.5 * LEASE_MS / 1000)
        run.app.send_task("record", args=(2,), countdown=600)
        wait_until(lambda: 1 in run.runs.read().done, "the countdown task", [worker])
    finally:
        stop_worker(worker)
    runs = run.runs.read()
    assert (runs.starts, runs.flags[1]) == ({1: 1}, [False])
    assert runs.started_at[1] - sent_at >= 2.5 * LEASE_MS / 1000 - 0.001
    with Queue(run.target) as queue:
        assert (queue.stats()["total"], len(queue)) == (1, 0)


@pytest.mark.parametrize("url, queue, error", [
    ("ferrow://", "tasks", "names a directory"),
    ("ferrow+redis://127.0.0.1:1/0?queue=x", "tasks", "takes no queue parameter"),
    ("ferrow:///tmp/never-created", "../elsewhere", "plain file name"),
    ("ferrow+redis://127.0.0.1:1/0", "tasks{x}", "no braces"),
], ids=["no directory", "redis queue given", "queue outside", "redis braces"])
def test_bad_broker_urls_and_queue_names(url, queue, error):
    with pytest.raises(ValueError, match=error):
        queue_target(kombu_transport.base_target(url), queue)


def flower_tasks(port):
    """The tasks Flower knows, by id, or None while it does not answer yet."""
    try:
        with urllib.request.urlopen("http://127.0.0.1:{}/api/tasks".format(port), timeout=5) as r:
            return json.load(r)
    except OSError:
        return None


def test_remote_control_and_events(tmp_path, queues_base):
    """A worker with events on answers `celery inspect ping`, its task events
    reach a Flower process, `celery control shutdown` stops it, and the
    queues of the control replies and of the worker's mailbox go with their
    users."""
    run = CeleryRun(tmp_path, queues_base, acks_late=True)
    worker = run.start("control", "-E")
    port = free_port()
    flower = start_worker(run.celery("flower", "--address=127.0.0.1", "--port={}".format(port)),
                          run.dir, dict(run.env, FLOWER_UNAUTHENTICATED_API="true"), "flower")
    try:
        wait_until(lambda: run.app.control.ping(timeout=0.5), "the worker's first pong", [worker])
        pong = run.command("inspect", "ping")
        assert "control@" in pong and "pong" in pong
        wait_until(lambda: flower_tasks(port) is not None, "Flower to answer", [flower])
        for i in range(3):
            run.app.send_task("record", args=(i,))

        def succeeded():
            return sorted(t["args"] for t in flower_tasks(port).values()
                          if t["state"] == "SUCCESS")

        wait_until(lambda: succeeded() == ["(0,)", "(1,)", "(2,)"],
                   "Flower to see the tasks succeed", [worker, flower])
        run.command("control", "shutdown")
        assert worker.wait(timeout=WAIT_S) == 0
    finally:
        stop_worker(worker)
        stop_worker(flower)
    with kombu.Connection(run.url) as conn:
        exchanges = conn.transport.exchanges
        assert exchanges.table("celery.pidbox") == []
        assert exchanges.table("reply.celery.pidbox") == []
        assert [n for n in exchanges.expired() if "pidbox" in n] == []


@pytest.mark.parametrize("how", ["x-expires", "auto_delete"])
def test_unused_queues_go(queues_base, how, request):
    """A queue declared with x-expires goes, with its bindings, its levels
    and its delayed messages, once no process used it for that long (here
    another connection sweeps it); an auto-delete queue goes when its
    consumer stops."""
    base, name = queues_base
    url = ("ferrow+" if is_redis(base) else "ferrow://") + base
    fanout = kombu.Exchange(name + "-ex", type="fanout")
    queue = kombu.Queue(name, fanout, expires=0.5 if how == "x-expires" else None,
                        auto_delete=how == "auto_delete", max_priority=3)
    with kombu.Connection(url) as conn:
        exchanges = conn.transport.exchanges
        queue(conn.default_channel).declare()
        producer = kombu.Producer(conn.default_channel, fanout)
        producer.publish({"n": 1}, priority=2)
        producer.publish({"n": 2}, headers={"eta": "2099-01-01T00:00:00"})
        assert exchanges.queue(name) is not None and len(exchanges.table(fanout.name)) == 1
        if how == "auto_delete":
            with kombu.Consumer(conn, [queue], callbacks=[lambda body, m: m.ack()]):
                conn.drain_events(timeout=5)
    if how == "x-expires":
        with kombu.Connection(url) as sweeper:
            deadline = time.monotonic() + WAIT_S
            while exchanges.queue(name) is not None and time.monotonic() < deadline:
                with pytest.raises(Exception):
                    sweeper.drain_events(timeout=0.2)
    assert exchanges.queue(name) is None and exchanges.table(fanout.name) == []
    if is_redis(base):
        server = request.getfixturevalue("shared_redis")
        assert server.cli("--scan", "--pattern", "ferrow:{%s}:*" % name) == ""
    else:
        assert sorted(os.listdir(base)) == [".ferrow-kombu.json", ".ferrow-kombu.lock"]


def test_a_lost_redis_server_is_a_connection_error(redis_servers):
    """A consumer whose server went away gets one of the transport's
    connection errors, which Celery answers by connecting again; it does
    once the server is back."""
    server = redis_servers()
    url = "ferrow+redis://127.0.0.1:{}/0".format(server.port)
    got = []
    with kombu.Connection(url) as conn:
        queue = kombu.Queue("tasks")
        with kombu.Consumer(conn, [queue], callbacks=[lambda body, m: (got.append(body), m.ack())]):
            server.kill()
            with pytest.raises(conn.connection_errors):
                conn.drain_events(timeout=1)
        server.start()
        conn.ensure_connection(max_retries=3, interval_start=0.1)
        kombu.Producer(conn.default_channel).publish({"n": 1}, routing_key="tasks")
        with kombu.Consumer(conn, [queue], callbacks=[lambda body, m: (got.append(body), m.ack())]):
            conn.drain_events(timeout=5)
    assert got == [{"n": 1}]
