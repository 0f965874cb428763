"""`corvana check` after a process died at a named point inside a change or a doubling: it repairs
what it meets (the count included) and finishes a doubling nobody is left to finish, so it exits 0
and says sound, the first time and every time after, and later walks see every key once.

These tests kill a process at a named point with the crash-point build of the package."""
import os
import signal
import subprocess
import sys

import pytest

from conftest import needs_crash_points, start_crash_build
from corvana.quillmap import quillmap

pytestmark = needs_crash_points

WRITER = """
    import os, sys
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    if sys.argv[2] == "insert":
        shared["victim"] = "v" * 300
    elif sys.argv[2] == "remove":
        del shared["key-3"]
    else:
        from corvana.quillmap import dict_expansion
        dict_expansion(os.fsencode(sys.argv[1]), 2 * shared.bucket_chunk_in_use)
"""

# (where the process dies, what it does)
DEATHS = [
    ("change.published", "insert"), ("change.freeing", "remove"),
    ("expansion.marked", "double"), ("expansion.allocated", "double"), ("expansion.claimed", "double"),
    ("split.sibling_published", "double"), ("split.bucket_published", "double"), ("split.freeing", "double"),
    ("expansion.left", "double"), ("expansion.doubled", "double"),
]


def check(name):
    return subprocess.run([sys.executable, "-m", "corvana", "check", os.fsdecode(name)], capture_output=True,
                          text=True, timeout=120)


@pytest.mark.parametrize("point,operation", DEATHS, ids=[f"{point}-{operation}" for point, operation in DEATHS])
def test_check_repairs_what_a_death_left_and_says_sound(new_map, point, operation):
    # Entries spread over 8 buckets of one chunk, two to three each: a doubling has entries to move.
    shared = new_map(size=16 * 1024 * 1024, bucket_chunk_size_exponent=3, bucket_chunk_number=64)
    expected = {f"key-{index}": "x" * (index * 37 % 300) for index in range(16)}
    for key, value in expected.items():
        shared[key] = value
    chunks = shared.bucket_chunk_in_use
    shared.close()
    writer = start_crash_build(WRITER, os.fsdecode(shared.name), operation, point=point)
    _, errors = writer.communicate(timeout=120)
    assert writer.returncode == -signal.SIGKILL, errors
    if operation == "insert":
        expected["victim"] = "v" * 300
    elif operation == "remove":
        del expected["key-3"]

    for attempt in range(2):
        done = check(shared.name)
        assert done.returncode == 0, (attempt, done.stdout, done.stderr)
        assert done.stdout.startswith(f"{os.fsdecode(shared.name)}: sound: {len(expected)} entries"), done.stdout
    reopened = quillmap(shared.name)
    if operation == "double":
        assert reopened.bucket_chunk_in_use == 2 * chunks, "the checker finished the doubling"
    keys = list(reopened.keys())
    assert sorted(keys) == sorted(expected), "every key once"
    assert len(reopened) == len(expected)
    assert dict(reopened.items()) == expected
    reopened.close()
