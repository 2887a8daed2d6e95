"""Starts an imageserver-host of the build for the tests, in a runtime folder
of their own, and stops it after them.

IMAGESERVER_HOST names the host program; IMAGESERVER_CLIENT_LIBRARY the
client library the package loads."""

import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))

INSTANCE = 41


@pytest.fixture(scope="session")
def host(tmp_path_factory):
    program = os.environ.get("IMAGESERVER_HOST")
    if not program:
        pytest.skip("IMAGESERVER_HOST names no host program")
    run = tmp_path_factory.mktemp("run")
    os.chmod(run, 0o700)
    environment = dict(os.environ, COMM_RUNTIME_DIR=str(run))
    process = subprocess.Popen(
        [program, "--instance", str(INSTANCE)],
        env=environment,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    lines = []
    for line in process.stdout:
        lines.append(line)
        if line.strip() == "imageserver-host: ready":
            break
    else:
        process.wait()
        pytest.fail("the host did not start: " + "".join(lines))
    yield str(run)
    process.terminate()
    process.communicate(timeout=30)


@pytest.fixture
def runtime_dir(host):
    return host
