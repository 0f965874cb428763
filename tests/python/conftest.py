"""Shared helpers of the Python tests: small maps whose memory files are removed afterwards, and
running Python code in a fresh interpreter."""
import os
import subprocess
import sys
import textwrap
import time

import pytest

# Small maps: a 16 MiB heap, 16 buckets per bucket chunk, room for 6 doublings.
SMALL = dict(size=16 * 1024 * 1024, bucket_chunk_size_exponent=4, bucket_chunk_number=64)


@pytest.fixture
def new_map():
    """new_map(**overrides) -> a quillmap on a new small memory file, removed after the test."""
    from corvana.quillmap import quillmap

    names = []

    def make(cls=quillmap, **overrides):
        instance = cls(**{**SMALL, **overrides})
        names.append(instance.name)
        return instance

    yield make
    for name in names:
        if name and os.path.exists(name):
            os.unlink(name)


def run_python(code, env=None, timeout=120):
    """Runs `code` in a new interpreter; returns its standard output, failing the test on an error."""
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                               env={**os.environ, **(env or {})}, timeout=timeout)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def run_processes(processes, seconds=120):
    """Starts the processes and waits for all of them, bounded by `seconds` in all; kills any that
    hang and fails the test unless every one ended with exit code 0."""
    for process in processes:
        process.start()
    deadline = time.monotonic() + seconds
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))
    hung = [process for process in processes if process.is_alive()]
    for process in hung:
        process.kill()
    assert not hung, "workers did not finish in time"
    assert [process.exitcode for process in processes] == [0] * len(processes)
