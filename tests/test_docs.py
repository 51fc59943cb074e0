"""Every ```python block of README.md and docs/*.md runs as it stands, in a
fresh interpreter, in a temporary directory of its own, and must exit with 0.

A block that only shows the shape of a call says so on its first line,
`# fragment: not run`; it is compiled, not run, and such blocks stay few.
Links between the pages, and to files of the repository, lead somewhere.

A block that talks to a Redis server on "localhost:6379" (the default port
of a local server, as a reader would have it) gets a fresh durable
redis-server of the test suite, whose address replaces that text.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import ferrow

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FRAGMENT = "# fragment: not run"
MAX_FRAGMENTS = 6
REDIS_ADDRESS = "localhost:6379"
TIMEOUT_S = 120  # the longest block waits out a 30 s lock time-out
CHILD_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    p for p in (os.path.dirname(os.path.abspath(ferrow.__file__)),
                os.environ.get("PYTHONPATH")) if p))


def python_blocks(page):
    """(line of the opening fence, code) of each ```python block of a page."""
    blocks, start, code = [], None, []
    for number, line in enumerate(page.read_text().splitlines(), 1):
        if start is None:
            if line.strip() == "```python":
                start, code = number, []
        elif line.strip() == "```":
            blocks.append((start, "\n".join(code) + "\n"))
            start = None
        else:
            code.append(line)
    assert start is None, f"{page.name}: the block opened at line {start} is never closed"
    return blocks


BLOCKS = [pytest.param(page, line, code, id=f"{page.relative_to(ROOT)}:{line}")
          for page in PAGES for line, code in python_blocks(page)]


def run_block(code, cwd):
    """Runs `code` as a script in `cwd`; returns (exit status, output). The
    script runs in a session of its own, so that whatever it started dies
    with it, on a time-out as well as after a normal end."""
    script = Path(cwd) / "block.py"
    script.write_text(code)
    env = dict(CHILD_ENV, TMPDIR=str(cwd))
    proc = subprocess.Popen([sys.executable, str(script)], cwd=cwd, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out = proc.communicate()[0] + f"\n(no end within {TIMEOUT_S} s)"
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    return proc.returncode, out


@pytest.mark.parametrize("page, line, code", BLOCKS)
def test_block_runs(request, page, line, code):
    if code.startswith(FRAGMENT):
        compile(code, f"{page.name}:{line}", "exec")  # a fragment still parses
        return
    if REDIS_ADDRESS in code:
        server = request.getfixturevalue("redis_servers")()
        code = code.replace(REDIS_ADDRESS, f"127.0.0.1:{server.port}")
    with tempfile.TemporaryDirectory(prefix="ferrow-doc-") as cwd:
        status, out = run_block(code, cwd)
    assert status == 0, f"{page.name} line {line} exited with {status}:\n{out}"


def test_the_pages_have_blocks_and_few_fragments():
    readme = [p for p in BLOCKS if p.values[0].name == "README.md"]
    fragments = [p.id for p in BLOCKS if p.values[2].startswith(FRAGMENT)]
    assert readme, "README.md shows no Python block"
    assert len(fragments) <= MAX_FRAGMENTS, fragments


def anchors(page):
    """The anchors of a page's headings, as the hosting sites make them."""
    return {re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")
            for title in re.findall(r"^#+ (.*)$", page.read_text(), re.M)}


def test_links_lead_somewhere():
    broken = []
    for page in PAGES:
        text = re.sub(r"^```.*?^```", "", page.read_text(), flags=re.M | re.S)
        for link in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", link):
                continue
            path, _, anchor = link.partition("#")
            target = (page.parent / path).resolve() if path else page
            if not target.exists() or (anchor and target.suffix == ".md"
                                       and anchor not in anchors(target)):
                broken.append(f"{page.relative_to(ROOT)}: {link}")
    assert broken == []
