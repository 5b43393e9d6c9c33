"""Fixtures of the module's tests: the sample system that mksample writes
(VESK_TEST_SAMPLE) and the command-line tool (VESK_TEST_TOOL) whose JSON
Lines the module's dicts must match."""
import json
import os
import subprocess

import pytest


@pytest.fixture(scope="session")
def sample():
    path = os.environ.get("VESK_TEST_SAMPLE")
    if not path or not os.path.isdir(path):
        pytest.skip("VESK_TEST_SAMPLE does not name the sample system (mksample writes it)")
    return path


@pytest.fixture(scope="session")
def local(sample):
    return os.path.join(sample, "samplepc")


@pytest.fixture(scope="session")
def filesrv(sample):
    return os.path.join(sample, "filesrv")


@pytest.fixture(scope="session")
def tool_rows():
    """tool_rows(args...) -> the tool's JSON Lines rows for those arguments."""
    tool = os.environ.get("VESK_TEST_TOOL")
    if not tool or not os.access(tool, os.X_OK):
        pytest.skip("VESK_TEST_TOOL does not name the command-line tool")

    def run(*args):
        out = subprocess.run(
            [tool, "--format", "jsonl", "--quiet", *args],
            check=True,
            stdout=subprocess.PIPE,
            env={**os.environ, "TZ": "UTC"},
        ).stdout
        return [json.loads(line) for line in out.decode("utf-8").splitlines()]

    return run
