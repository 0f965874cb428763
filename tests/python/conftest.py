"""Shared helpers of the Python tests: small maps whose memory files are removed afterwards, and
running Python code in a fresh interpreter."""
import os
import subprocess
import sys
import textwrap

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
