"""`ferrow-admin serve` in a real headless chromium, over a base directory
and over a Redis server, after real producer and consumer processes ran:
the counts shown, the page refreshing itself, searching bodies, a script in a
body staying text, dead letters requeued only with the token, /metrics equal
to stats(), and reading that leaves every queue byte for byte as it was.
The screenshots in docs/ are taken here (`make screenshots`).
"""
import hashlib
import json
import os
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

import pytest

import ferrow
from conftest import START_TIMEOUT_S, free_port, unique_name
from ferrow_tools import open_queue
from ferrow_tools.dashboard.log_follower import LogFollower
from ferrow_tools.integrations.named_queues import queue_target

# `make screenshots` sets this to docs/; otherwise the pictures go to the
# test's temporary directory, so that a test run changes no tracked file.
SCREENSHOT_DIR = os.environ.get("FERROW_SCREENSHOT_DIR")
TOKEN = "correct horse battery"
LONG_LEASE = 600_000
REFRESH_WAIT_S = 20

PRODUCER = """
import sys
from ferrow_tools import open_queue
from ferrow_tools.dashboard.log_follower import LogFollower
q = open_queue(sys.argv[1])
for i in range(int(sys.argv[3])):
    q.enqueue("{}-{}".format(sys.argv[2], i).encode())
"""

# Acks, dead-letters (max_deliveries=1: a failed block goes to NAME.dead)
# and leaves leased, in that order, as many messages as asked.
CONSUMER = """
import sys
from ferrow_tools import Queue, open_queue
target, acked, dead, held = sys.argv[1], *map(int, sys.argv[2:5])
with Queue(target, max_deliveries=1) as q:
    for _ in range(acked):
        q.get(timeout=10).ack()
    for _ in range(dead):
        try:
            with q.get(timeout=10):
                raise RuntimeError("poisoned <b>bold</b>")
        except RuntimeError:
            pass
core = open_queue(target)
for _ in range(held):
    assert core.dequeue(lease_ms=%d) is not None
""" % LONG_LEASE


def run_all(*scripts):
    """Runs (source, args) scripts as concurrent processes; all must succeed."""
    procs = [subprocess.Popen([sys.executable, "-c", src, *map(str, args)],
                              stderr=subprocess.PIPE, text=True) for src, args in scripts]
    for p in procs:
        _, err = p.communicate(timeout=60)
        assert p.returncode == 0, err


def produce_and_consume(target, per_producer, acked, dead, held):
    run_all((PRODUCER, [target, "p1", per_producer]), (PRODUCER, [target, "p2", per_producer]))
    run_all((CONSUMER, [target, acked, dead, held]))


class Place:
    """Where the queues of a test live: a base directory or a Redis server,
    and how to tell that nothing there changed."""

    def __init__(self, kind, base, redis=None):
        self.kind, self.base, self.redis = kind, base, redis

    def target(self, name):
        return queue_target(self.base, name)

    def fingerprint(self):
        if self.kind == "redis":
            info = self.redis.cli("INFO", "persistence")
            return [line for line in info.splitlines() if "changes_since_last_save" in line]
        out = {}
        for root, _, files in os.walk(self.base):
            for f in files:
                with open(os.path.join(root, f), "rb") as fh:
                    out[os.path.join(root, f)] = hashlib.sha256(fh.read()).hexdigest()
        return out


@pytest.fixture(params=["directory", "redis"])
def place(request, tmp_path):
    if request.param == "directory":
        os.makedirs(tmp_path / "base")
        return Place("directory", str(tmp_path / "base"))
    server = request.getfixturevalue("shared_redis")
    return Place("redis", "redis://127.0.0.1:{}/0".format(server.port), server)


@pytest.fixture
def directory(tmp_path):
    os.makedirs(tmp_path / "base")
    return Place("directory", str(tmp_path / "base"))


def http(url, data=None, headers=None):
    """(status, body text) of a GET, or of a POST of the form `data`."""
    body = urllib.parse.urlencode(data).encode() if data is not None else None
    req = urllib.request.Request(url, body, headers or {})
    try:
        with urllib.request.urlopen(req, timeout=START_TIMEOUT_S) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


@pytest.fixture
def dashboard():
    """Starts `ferrow-admin serve TARGET` processes on free loopback ports;
    returns each one's base URL; stops them by pid."""
    procs = []

    def start(target, *extra):
        port = free_port()
        proc = subprocess.Popen([sys.executable, "-m", "ferrow_tools", "serve", target,
                                 "--port", str(port), *extra],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        procs.append(proc)
        url = "http://127.0.0.1:{}".format(port)
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                pytest.fail("serve exited with {}: {}".format(proc.returncode,
                                                               proc.stderr.read()))
            try:
                if http(url + "/api/queues")[0] == 200:
                    return url
            except OSError:
                time.sleep(0.1)
        pytest.fail("serve did not answer within {} s".format(START_TIMEOUT_S))

    yield start
    for proc in procs:
        proc.terminate()
        try:
            proc.wait(START_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def cell(browser, name, column):
    from selenium.webdriver.common.by import By

    row = browser.find_element(By.CSS_SELECTOR, 'tr.queue[data-queue="{}"]'.format(name))
    return row.find_element(By.CSS_SELECTOR, "td." + column).text


def screenshot(browser, place, name, tmp_path, height):
    if place.kind == "directory":
        browser.set_window_size(1280, height)
        try:
            assert browser.save_screenshot(os.path.join(SCREENSHOT_DIR or str(tmp_path), name))
        finally:
            browser.set_window_size(1360, 900)


def test_overview_shows_real_counts_and_refreshes_itself(place, dashboard, browser, tmp_path):
    from selenium.webdriver.support.ui import WebDriverWait

    name = unique_name()
    target = place.target(name)
    produce_and_consume(target, 40, acked=25, dead=3, held=4)
    if place.kind == "directory":  # company in the picture: a queue with a delay queue
        ferrow.FerrowCore(place.target("emails")).enqueue_batch([b"mail"] * 12)
        ferrow.FerrowCore(place.target("emails.DQ")).enqueue(b"later")
    q = open_queue(target)
    stats = q.stats()
    assert (stats["ready"], stats["in_flight"]) == (80 - 25 - 3 - 4, 4)
    before = place.fingerprint()

    url = dashboard(place.base)
    browser.get(url + "/")
    shown = {c: cell(browser, name, c) for c in ("ready", "in-flight", "dead")}
    assert shown == {"ready": "48", "in-flight": "4", "dead": "3"}
    browser.get(url + "/queues/" + name)
    http(url + "/metrics")
    http(url + "/api/queues/" + name)
    assert place.fingerprint() == before  # reading wrote nothing anywhere

    browser.get(url + "/")
    q.enqueue_batch([b"late"] * 5)
    WebDriverWait(browser, REFRESH_WAIT_S).until(lambda b: cell(b, name, "ready") == "53")
    screenshot(browser, place, "dashboard-overview.png", tmp_path, 520)
    getattr(q, "close", lambda: None)()


def test_queue_page_finds_bodies_and_shows_a_script_as_text(directory, dashboard, browser):
    from selenium.webdriver.common.by import By

    target = directory.target("orders")
    hostile = "<script>document.title='pwned'</script><img src=x onerror=\"document.title='x'\">"
    q = ferrow.FerrowCore(target)
    q.enqueue_batch([b"filler %d" % i for i in range(60)]
                    + [b"order needle-7f3a", hostile.encode(), b'{"a": [1, 2]}', b"\x00\xff\x10"])
    url = dashboard(directory.base)

    browser.get(url + "/queues/orders")
    assert browser.find_element(By.ID, "matching").text.startswith("64 messages, showing 1–50")
    search = browser.find_element(By.NAME, "q")
    search.send_keys("needle-7f3a")
    submit(browser, browser.find_element(By.ID, "search"))
    rows = browser.find_elements(By.CSS_SELECTOR, "#messages tbody tr")
    assert [r.get_attribute("data-seq") for r in rows] == ["60"]
    assert "order needle-7f3a" in rows[0].text

    browser.get(url + "/queues/orders?" + urllib.parse.urlencode({"q": "<script>"}))
    row = browser.find_element(By.CSS_SELECTOR, '#messages tr[data-seq="61"]')
    assert row.find_element(By.TAG_NAME, "pre").text == hostile
    assert browser.title == "orders · Ferrow"
    assert browser.find_elements(By.CSS_SELECTOR, "main script, main img") == []
    browser.get(url + "/queues/orders?page=1")
    shown = {r.get_attribute("data-seq"): r.find_element(By.CSS_SELECTOR, ".kind").text
             for r in browser.find_elements(By.CSS_SELECTOR, "#messages tbody tr")}
    assert (shown["61"], shown["62"], shown["63"]) == ("text", "json", "hex")


def submit(browser, form):
    """Submits `form` and waits for the page it leads to: a submit or a
    click does not wait for it."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait

    old = browser.find_element(By.TAG_NAME, "html")
    form.submit()
    WebDriverWait(browser, START_TIMEOUT_S).until(expected_conditions.staleness_of(old))


def sign_in(browser, token):
    from selenium.webdriver.common.by import By

    login = browser.find_element(By.ID, "login")
    field = login.find_element(By.NAME, "token")
    field.clear()  # the browser may have filled in what was typed before
    field.send_keys(token)
    submit(browser, login)


def test_dead_letters_are_requeued_with_the_token_only(directory, dashboard, browser, tmp_path):
    from selenium.webdriver.common.by import By

    target = directory.target("mail")
    produce_and_consume(target, 2, acked=0, dead=3, held=0)
    dead_before = ferrow.FerrowCore(target + ".dead").stats()["total"]
    assert dead_before == 3

    read_only = dashboard(directory.base)
    browser.get(read_only + "/queues/mail")
    assert "Read-only" in browser.find_element(By.ID, "mode").text
    assert browser.find_elements(By.CSS_SELECTOR, "button[data-action]") == []
    assert http(read_only + "/actions/requeue", {"queue": "mail", "seq": "0"},
                {"Authorization": "Bearer " + TOKEN})[0] == 403

    url = dashboard(directory.base, "--token", TOKEN)
    for headers in ({}, {"Authorization": "Bearer wrong"}):
        status, _ = http(url + "/actions/requeue-all", {"queue": "mail"}, headers)
        assert status == 403
    browser.get(url + "/queues/mail")
    reasons = [r.text for r in browser.find_elements(By.CSS_SELECTOR, "#dead td.reason")]
    assert reasons == ["RuntimeError: poisoned <b>bold</b>"] * 3
    sign_in(browser, "wrong")
    assert "Wrong token" in browser.find_element(By.ID, "message").text
    assert ferrow.FerrowCore(target + ".dead").stats()["total"] == 3

    browser.get(url + "/queues/mail")
    sign_in(browser, TOKEN)
    screenshot(browser, directory, "dashboard-queue.png", tmp_path, 840)
    newest = browser.find_element(By.CSS_SELECTOR, "#dead tbody tr").get_attribute("data-seq")
    submit(browser, browser.find_element(
        By.CSS_SELECTOR, 'button[data-action="requeue"][data-seq="{}"]'.format(newest)))
    assert "requeued 1 dead letter into mail" in browser.find_element(By.ID, "note").text
    assert browser.find_element(By.ID, "dead-count").text == "2"
    assert ferrow.FerrowCore(target + ".dead").stats()["total"] == 2
    status, body = http(url + "/actions/requeue-all", {"queue": "mail"},
                        {"Authorization": "Bearer " + TOKEN})
    assert status == 200 and "requeued 2 dead letters" in body
    assert ferrow.FerrowCore(target).stats()["ready"] == 4 - 3 + 3
    bearer = {"Authorization": "Bearer " + TOKEN}
    assert http(url + "/actions/purge", {"queue": "mail"}, bearer)[0] == 400
    assert ferrow.FerrowCore(target).stats()["total"] == 4
    assert http(url + "/actions/purge", {"queue": "mail", "confirm": "mail"}, bearer)[0] == 200
    assert ferrow.FerrowCore(target).stats()["total"] == 0


def metric_values(text, name):
    """{metric name: value} of the samples of queue `name`, by prometheus_client's parser."""
    from prometheus_client.parser import text_string_to_metric_families

    out = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            if s.labels.get("queue") == name:
                le = s.labels.get("le")
                out[s.name if le is None else "{}[{}]".format(s.name, float(le))] = s.value
    return out


STAT_METRICS = {"ready": "ferrow_ready", "in_flight": "ferrow_in_flight",
                "total": "ferrow_messages", "enqueued_total": "ferrow_enqueued_total",
                "acked_total": "ferrow_acked_total", "requeued_total": "ferrow_requeued_total",
                "dead_total": "ferrow_dead_total", "next_seq": "ferrow_next_seq",
                "live_bytes": "ferrow_live_bytes", "log_bytes": "ferrow_log_bytes",
                "generation": "ferrow_generation", "persistent": "ferrow_persistent"}


def test_metrics_equal_stats_without_changing_the_queue(place, dashboard):
    name = unique_name()
    target = place.target(name)
    q = open_queue(target)
    q.enqueue_batch([b"m%d" % i for i in range(8)])
    for _ in range(2):  # 0 ends ready with 2 deliveries
        assert q.dequeue(lease_ms=LONG_LEASE)[0] == 0 and q.nack(0)
    q.dequeue(lease_ms=LONG_LEASE)  # 0 again: 3 deliveries, in flight
    q.ack(q.dequeue(lease_ms=LONG_LEASE)[0])  # 1
    q.nack(q.dequeue(lease_ms=LONG_LEASE)[0], requeue=False)  # 2
    assert q.dequeue(lease_ms=1)[0] == 3  # a lease that lapses at once
    time.sleep(0.01)
    url = dashboard(place.base)
    before = place.fingerprint()

    lapsed = metric_values(http(url + "/metrics")[1], name)
    assert place.fingerprint() == before
    stats = q.stats()  # hands the lapsed lease back: a Requeue written
    assert (lapsed["ferrow_ready"], lapsed["ferrow_in_flight"]) == (stats["ready"],
                                                                     stats["in_flight"]) == (5, 1)

    shown = metric_values(http(url + "/metrics")[1], name)
    assert {key: shown[metric] for key, metric in STAT_METRICS.items()} == dict(stats)
    buckets = {le: shown["ferrow_deliveries_bucket[{}]".format(float(le))]
               for le in ("0", "1", "2", "3", "inf")}
    assert buckets == {"0": 4, "1": 5, "2": 5, "3": 6, "inf": 6}
    assert shown["ferrow_deliveries_sum"] == 3 + 1 and 0 < shown[
        "ferrow_oldest_ready_age_seconds"] < 60

    api = json.loads(http(url + "/api/queues/" + name)[1])["queue"]
    assert {key: api[key] for key in stats} == dict(stats)
    cli = subprocess.run([sys.executable, "-m", "ferrow_tools", "stats", "--prometheus", target],
                         capture_output=True, text=True, timeout=60)
    label = target if place.kind == "directory" else q.where
    from_cli = metric_values(cli.stdout, label)
    assert {k: v for k, v in from_cli.items() if "age" not in k} == {
        k: v for k, v in shown.items() if "age" not in k}
    getattr(q, "close", lambda: None)()


def test_serve_refuses_what_it_must(tmp_path, dashboard):
    base = tmp_path / "base"
    for name in ("inside", "inside.dead", "inside.DQ", "inside.p2", "orphan.dead"):
        ferrow.FerrowCore(str(base / name)).enqueue(b"in")
    ferrow.FerrowCore(str(tmp_path / "outside")).enqueue(b"secret")
    os.symlink(tmp_path / "outside", base / "linked")
    r = subprocess.run([sys.executable, "-m", "ferrow_tools", "serve", str(base),
                        "--host", "0.0.0.0"], capture_output=True, text=True, timeout=60)
    assert r.returncode == 2 and "without --token" in r.stderr
    url = dashboard(str(base))
    listed = json.loads(http(url + "/api/queues")[1])["queues"]
    assert [q["name"] for q in listed] == ["inside", "orphan.dead"]
    assert listed[0]["dead_letters"] == 1
    assert list(listed[0]["subqueues"]) == ["delayed", "level 2"]
    for path in ("/queues/linked", "/queues/../outside", "/queues/%2E%2E/outside",
                 "/api/queues/..%2Foutside", "/queues/" + str(tmp_path / "outside")):
        status, body = http(url + path)
        assert status == 404 and "secret" not in body, path
    status, _ = http(url + "/", headers={"Host": "attacker.example:80"})
    assert status == 421


def test_the_log_follower_keeps_up_with_appends_a_rewrite_and_a_record_half_written(tmp_path):
    path = str(tmp_path / "q")
    log = os.path.join(path, "queue.log")
    follower = LogFollower(path)

    def read_as_anew():
        """What the follower shows, checked against a fresh replay."""
        shown = follower.figures_input()
        assert shown == LogFollower(path).figures_input()
        return shown

    q = ferrow.FerrowCore(path)
    q.enqueue_batch([b"m%d" % i for i in range(10)])
    read_as_anew()
    q.ack_batch([0, 1, 2])
    q.dequeue(lease_ms=LONG_LEASE)
    counters, messages = read_as_anew()
    assert (counters["acked_total"], len(messages), messages[0][1]) == (3, 7, 1)
    q.compact()
    counters, messages = read_as_anew()
    assert (counters["generation"], len(messages), messages[0][1]) == (1, 7, 1)
    size = os.path.getsize(log)
    q.enqueue(b"last")
    del q
    with open(log, "rb") as f:
        whole = f.read()
    with open(log, "r+b") as f:
        f.truncate(size + 20)  # the new record, half written
    assert len(follower.figures_input()[1]) == 7 and follower.damage is None
    with open(log, "ab") as f:
        f.write(whole[size + 20:])
    read_as_anew()
    assert [m.seq for m in follower.messages()][-1] == 10
