"""Shared fixtures: a queue directory, real redis-server processes for the
Redis suites, and the targets that the behaviour suites run over
(":memory:", a directory, Redis); and the suites' summary reporting.

Each server runs on a free loopback port in a temporary directory with its
own config, and is stopped by its pid. Without the redis-server binary (or
the redis client library) the Redis tests skip, unless FERROW_REQUIRE_REDIS=1
(CI sets it), where that is a failure.
"""
import atexit
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

import pytest

REDIS_SERVER = shutil.which("redis-server")
REDIS_CLI = shutil.which("redis-cli")
REQUIRE_REDIS = os.environ.get("FERROW_REQUIRE_REDIS") == "1"
START_TIMEOUT_S = 15

DURABLE_CONFIG = {"appendonly": "yes", "appendfsync": "always"}


def need_redis():
    """Skips (or, when Redis is required, fails) without a server or client."""
    missing = None
    if REDIS_SERVER is None or REDIS_CLI is None:
        missing = "redis-server and redis-cli are not installed"
    else:
        try:
            import redis  # noqa: F401
        except ImportError:
            missing = "the redis client library is not installed (pip install 'ferrow[redis]')"
    if missing is not None:
        if REQUIRE_REDIS:
            pytest.fail(missing + ", and FERROW_REQUIRE_REDIS=1 asks for the Redis suites")
        pytest.skip(missing)


def _is_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port():
    """A free loopback port whose cluster bus port (10000 higher) is free too."""
    rng = random.Random()
    for _ in range(200):
        port = rng.randrange(20000, 45000)
        if _is_free(port) and _is_free(port + 10000):
            return port
    raise RuntimeError("no free loopback port found")


class RedisServer:
    """One redis-server process; `start` may be called again after a kill,
    on the same port and directory (and so the same append-only file)."""

    def __init__(self, directory, config=None, sentinel=False):
        self.sentinel = sentinel
        self.dir = str(directory)
        os.makedirs(self.dir, exist_ok=True)
        self.port = free_port()
        self.config = dict(DURABLE_CONFIG if config is None else config)
        self.proc = None

    def write_config(self):
        lines = {"port": self.port, "bind": "127.0.0.1", "dir": self.dir, "save": '""',
                 "daemonize": "no", "logfile": "redis.log", "protected-mode": "no",
                 **self.config}
        path = os.path.join(self.dir, "redis.conf")
        with open(path, "w") as f:
            f.writelines("{} {}\n".format(k, v) for k, v in lines.items())
        return path

    def start(self):
        mode = ["--sentinel"] if self.sentinel else []
        self.proc = subprocess.Popen([REDIS_SERVER, self.write_config(), *mode],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("redis-server exited with {}; see {}/redis.log".format(
                    self.proc.returncode, self.dir))
            try:
                # The answer must come from this process: between a kill and
                # a restart on the same port another suite's server may have
                # taken the port, and its queues would pass for ours.
                if self.cli("PING") == "PONG" and self._answering_pid() == self.proc.pid:
                    return self
            except subprocess.TimeoutExpired:
                pass
            time.sleep(0.05)
        raise RuntimeError("redis-server on port {} did not answer".format(self.port))

    def _answering_pid(self):
        for line in self.cli("INFO", "server").splitlines():
            if line.startswith("process_id:"):
                return int(line.split(":")[1])
        return None

    def cli(self, *args, timeout=10):
        out = subprocess.run([REDIS_CLI, "-h", "127.0.0.1", "-p", str(self.port), *args],
                             capture_output=True, text=True, timeout=timeout)
        return out.stdout.strip()

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=START_TIMEOUT_S)

    def pause(self, paused=True):
        """Stops (or resumes) the server without ending it: it stops answering."""
        os.kill(self.proc.pid, signal.SIGSTOP if paused else signal.SIGCONT)

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return
        os.kill(self.proc.pid, signal.SIGCONT)
        os.kill(self.proc.pid, signal.SIGTERM)
        try:
            self.proc.wait(timeout=START_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.kill()

    def replicate(self, primary):
        """Makes this server a replica of `primary` and waits for the link."""
        self.cli("REPLICAOF", "127.0.0.1", str(primary.port))
        deadline = time.monotonic() + START_TIMEOUT_S
        while "master_link_status:up" not in self.cli("INFO", "replication"):
            if time.monotonic() > deadline:
                raise RuntimeError("the replica did not connect to its primary")
            time.sleep(0.05)

    def url(self, queue=None, **options):
        query = "".join("&{}={}".format(k, v) for k, v in options.items())
        return "redis://127.0.0.1:{}/0?queue={}{}".format(
            self.port, queue or unique_name(), query)


def unique_name():
    return "q-" + uuid.uuid4().hex[:12]


@pytest.fixture
def redis_servers(tmp_path):
    """Starts servers on demand (`redis_servers(name, config)`); stops them all."""
    need_redis()
    started = []

    def start(name="redis", config=None, sentinel=False):
        server = RedisServer(tmp_path / name, config, sentinel)
        started.append(server)
        return server.start()

    yield start
    for server in started:
        server.stop()


@pytest.fixture(scope="session")
def shared_redis(tmp_path_factory):
    """One durable server for the behaviour suites; each test uses queues of
    its own name, so they do not meet."""
    need_redis()
    server = RedisServer(tmp_path_factory.mktemp("shared-redis")).start()
    yield server
    server.stop()


@pytest.fixture(params=["memory", "directory", "redis"])
def target(request, tmp_path):
    """A queue target of each kind: ":memory:", a new directory, a new queue
    on the shared Redis server."""
    if request.param == "memory":
        return ":memory:"
    if request.param == "directory":
        return str(tmp_path / "queue")
    return request.getfixturevalue("shared_redis").url()


@pytest.fixture(params=["directory", "redis"])
def shared_target(request, tmp_path):
    """A target that several queue objects and processes can share."""
    if request.param == "directory":
        return str(tmp_path / "queue")
    return request.getfixturevalue("shared_redis").url()


@pytest.fixture(params=["directory", "redis"])
def queues_base(request, tmp_path):
    """Where a task framework keeps its queues by name (a directory, or a
    Redis URL on the shared server) and a queue name of its own there."""
    if request.param == "directory":
        return str(tmp_path / "queues"), "tasks"
    server = request.getfixturevalue("shared_redis")
    return "redis://127.0.0.1:{}/0".format(server.port), unique_name()


def start_cluster(start, primaries=3):
    """A Redis Cluster of `primaries` primaries on loopback ports, created with
    redis-cli and waited for until every slot is served."""
    config = dict(DURABLE_CONFIG, **{"cluster-enabled": "yes",
                                     "cluster-config-file": "nodes.conf",
                                     "cluster-node-timeout": "2000"})
    nodes = [start("node{}".format(i), config) for i in range(primaries)]
    subprocess.run([REDIS_CLI, "--cluster", "create",
                    *["127.0.0.1:{}".format(n.port) for n in nodes],
                    "--cluster-replicas", "0", "--cluster-yes"],
                   check=True, capture_output=True, timeout=60)
    deadline = time.monotonic() + START_TIMEOUT_S
    while time.monotonic() < deadline:
        if all("cluster_state:ok" in n.cli("CLUSTER", "INFO") for n in nodes):
            return nodes
        time.sleep(0.1)
    raise RuntimeError("the cluster did not reach cluster_state:ok")


@pytest.fixture
def qdir(tmp_path):
    """The path of a queue directory that does not exist yet."""
    return str(tmp_path / "q")


def report_summary(request, name, summary):
    """Prints a suite's figures past pytest's capture and, under
    `make reliability`, writes them to NAME.json in FERROW_RELIABILITY_DIR."""
    capture = request.config.pluginmanager.getplugin("capturemanager")
    if capture is not None:
        with capture.global_and_fixture_disabled():
            print(f"\n{name} summary: " + json.dumps(summary, sort_keys=True))
    out_dir = os.environ.get("FERROW_RELIABILITY_DIR")
    if out_dir:
        os.makedirs(out_dir, exist_ok=True)
        with open(os.path.join(out_dir, f"{name}.json"), "w") as f:
            json.dump(summary, f, sort_keys=True, indent=1)


REQUIRE_ROOT = os.environ.get("FERROW_REQUIRE_ROOT") == "1"


def skip_without(reason):
    """Skips a test that needs root or a tool this machine lacks; where CI
    promises both (FERROW_REQUIRE_ROOT=1), that is a failure instead."""
    if REQUIRE_ROOT:
        pytest.fail(reason + ", and FERROW_REQUIRE_ROOT=1 asks for these tests")
    pytest.skip(reason)


CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
REQUIRE_BROWSER = os.environ.get("FERROW_REQUIRE_BROWSER") == "1"


def need_browser():
    """Skips (or, when FERROW_REQUIRE_BROWSER=1 as in CI, fails) without
    Debian's chromium and chromedriver or the selenium client library."""
    missing = None
    if CHROMIUM is None or CHROMEDRIVER is None:
        missing = "chromium and chromedriver are not installed (apt-get install chromium " \
                  "chromium-driver)"
    else:
        try:
            import selenium  # noqa: F401
        except ImportError:
            missing = "the selenium client library is not installed"
    if missing is not None:
        if REQUIRE_BROWSER:
            pytest.fail(missing + ", and FERROW_REQUIRE_BROWSER=1 asks for the browser tests")
        pytest.skip(missing)


@pytest.fixture(scope="session")
def browser():
    """One headless chromium for the session, steered through chromedriver."""
    need_browser()
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1360,900", "--force-device-scale-factor=1"):
        options.add_argument(arg)
    # The sanitized run preloads its runtime into every child; the browser
    # is not built for it and would refuse to start.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    driver.set_page_load_timeout(START_TIMEOUT_S)
    yield driver
    driver.quit()


OTHER_UID = 54321


def _others_may_run(path):
    """Whether a user with no group in common can run `path`: an executable
    (not a script, whose interpreter may sit out of reach: the sanitized run's
    wrapper execs one in this user's home) that every directory above lets
    others into."""
    path = os.path.realpath(path)
    if not os.stat(path).st_mode & 0o001:
        return False
    with open(path, "rb") as f:
        if f.read(2) == b"#!":
            return False
    parent = os.path.dirname(path)
    while True:
        if not os.stat(parent).st_mode & 0o001:
            return False
        if parent == "/":
            return True
        parent = os.path.dirname(parent)


_drop_dir = []


def _other_user_drop_dir():
    """A directory the other user may write, for what its runs leave behind
    (a coverage build's counters, sanitizer reports): it cannot write this
    user's build tree, and the tools would say so on stderr or abort.
    Removed when the session ends."""
    if not _drop_dir:
        path = tempfile.mkdtemp(prefix="ferrow-other-user-")
        os.chmod(path, 0o1777)
        atexit.register(shutil.rmtree, path, True)
        _drop_dir.append(path)
    return _drop_dir[0]


_LOG_PATH = re.compile(r"(^|:)log_path=([^:]*)")


def _sanitizer_logs_redirected(env, drop):
    """`env` with every sanitizer log_path moved under `drop`; returns the
    pairs (prefix under drop, original prefix) to copy the reports back."""
    moves = []
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
        match = _LOG_PATH.search(env.get(name, ""))
        if match:
            prefix = os.path.join(drop, name.lower())
            env[name] = _LOG_PATH.sub(lambda m: m.group(1) + "log_path=" + prefix, env[name], count=1)
            moves.append((prefix, match.group(2)))
    return moves


def _copy_reports_back(moves):
    for prefix, original in moves:
        folder, stem = os.path.split(prefix)
        for name in os.listdir(folder):
            if name.startswith(stem + "."):
                shutil.copy(os.path.join(folder, name),
                            original + ".other-user." + name[len(stem) + 1:])
                os.unlink(os.path.join(folder, name))


def run_as_other_user(code, *args, cwd):
    """Runs Python `code` as uid/gid OTHER_UID (through setpriv, so as root
    only), with this tree's ferrow and ferrow_tools importable; the
    CompletedProcess, output as text."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        skip_without("playing another user needs root and setpriv(1)")
    import ferrow
    import ferrow_tools
    version = "python{}.{}".format(*sys.version_info[:2])
    # This interpreter, or the system's of the same version (one in a
    # user's home, as pyenv installs it, is out of the other user's reach).
    candidates = [sys.executable] + [os.path.join(d, version)
                                     for d in ("/usr/local/bin", "/usr/bin")]
    python = next((p for p in candidates if os.path.exists(p) and _others_may_run(p)), None)
    if python is None:
        skip_without("no Python interpreter that another user may run")
    paths = [os.path.dirname(ferrow.__file__), os.path.dirname(os.path.dirname(
        ferrow_tools.__file__))]
    drop = _other_user_drop_dir()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), GCOV_PREFIX=drop)
    moves = _sanitizer_logs_redirected(env, drop)
    try:
        return subprocess.run(["setpriv", "--reuid", str(OTHER_UID), "--regid", str(OTHER_UID),
                               "--clear-groups", python, "-c", code, *args],
                              capture_output=True, text=True, timeout=120, env=env, cwd=cwd)
    finally:
        _copy_reports_back(moves)


@pytest.fixture
def shared_tmp(request):
    """A fresh directory under /tmp that another user can reach (pytest's own
    temporary directories are private to this one)."""
    path = tempfile.mkdtemp(dir="/tmp", prefix="ferrow-shared-")
    os.chmod(path, 0o755)
    request.addfinalizer(lambda: shutil.rmtree(path, ignore_errors=True))
    return path
