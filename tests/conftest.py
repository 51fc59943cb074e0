"""Fixtures and helpers shared by the suites."""
import json
import os

import pytest


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
