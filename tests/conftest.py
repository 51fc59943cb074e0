"""Fixtures shared by the suites."""
import pytest


@pytest.fixture
def qdir(tmp_path):
    """The path of a queue directory that does not exist yet."""
    return str(tmp_path / "q")
