"""Doublings that lose a participant: a process killed at a named point of an expansion, the
expansion driver whose pool workers die inside the doubling, and processes killed at random while
they insert into a map that keeps doubling. Survivors finish the doubling and lose nothing.

The named points need the crash-point build of the package (CORVANA_CRASH_PACKAGE); the random
kills need no special build."""
import multiprocessing
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import kill_at_random
from corvana.quillmap import quillmap

CRASH_PACKAGE = os.environ.get("CORVANA_CRASH_PACKAGE")
needs_crash_points = pytest.mark.skipif(
    not CRASH_PACKAGE, reason="needs the crash-point build of the package (CORVANA_CRASH_PACKAGE)")

SMALL = dict(size=64 * 1024 * 1024, bucket_chunk_size_exponent=3, bucket_chunk_number=1024)


def run_crash_build(script, *arguments, env=None):
    """Runs `script` with the crash-point build; returns (returncode, stdout, stderr)."""
    env = {**os.environ, "PYTHONPATH": CRASH_PACKAGE, **(env or {})}
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *arguments], env=env, cwd="/",
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


JOINER = """
    import os, sys
    from corvana.quillmap import dict_expansion
    dict_expansion(os.fsencode(sys.argv[1]), int(sys.argv[2]))
"""


@needs_crash_points
@pytest.mark.parametrize("point", ["expansion.marked", "expansion.recorded", "expansion.claimed", "split.begun",
                                   "split.sibling_published", "split.freeing", "expansion.left"])
def test_a_participant_killed_inside_a_doubling_leaves_a_map_that_doubles_and_loses_nothing(new_map, point):
    shared = new_map(**SMALL)
    expected = {f"stored-{index}": "x" * (index * 37 % 400) for index in range(16)}
    for key, value in expected.items():
        shared[key] = value
    chunks = shared.bucket_chunk_in_use
    code, _, errors = run_crash_build(JOINER, os.fsdecode(shared.name), str(2 * chunks),
                                      env={"CORVANA_CRASH_AT": point})
    assert code == -signal.SIGKILL, errors
    started = time.monotonic()
    for index in range(5000):  # inserts that meet the marked buckets help the doubling to its end
        shared[f"after-{index}"] = index
        expected[f"after-{index}"] = index
    assert time.monotonic() - started < 60
    assert shared.bucket_chunk_in_use >= 2 * chunks
    assert dict(shared.items()) == expected
    assert len(shared) == len(expected) == len(list(shared.keys()))


DRIVER = """
    import os, sys
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    for index in range(100):  # passes crash points unarmed: this process stays immune
        shared[f"driver-{index}"] = index
    os.environ["CORVANA_CRASH_AT"] = sys.argv[2]  # the pool's workers, forked from here, die there
    before = shared.bucket_chunk_in_use
    print(shared.expansion(2), before, shared.bucket_chunk_in_use, flush=True)
"""


@needs_crash_points
@pytest.mark.parametrize("point", ["expansion.claimed", "split.sibling_published"])
def test_the_driver_finishes_a_doubling_whose_workers_die_and_says_so(new_map, point):
    shared = new_map(**SMALL)
    expected = {f"stored-{index}": index for index in range(40)}
    for key, value in expected.items():
        shared[key] = value
    started = time.monotonic()
    code, output, errors = run_crash_build(DRIVER, os.fsdecode(shared.name), point)
    assert code == 0, errors
    result, before, after = (int(word) for word in output.split())
    assert result == 1 and after == 2 * before, output
    assert time.monotonic() - started < 60, "the driver waited for tasks whose workers had died"
    expected.update({f"driver-{index}": index for index in range(100)})
    assert dict(shared.items()) == expected


def test_the_driver_says_when_no_doubling_happened(new_map):
    shared = new_map(size=16 * 1024 * 1024, bucket_chunk_size_exponent=3, bucket_chunk_number=1)
    shared["a"] = 1
    assert shared.expansion(1) == 0, "the table has no room for a doubling"
    assert shared.bucket_chunk_in_use == 1


# ---- Random kills of processes that insert into a growing map -------------------------------------

WORKERS = 3
KEYS_PER_WORKER = 30000  # the map doubles about a dozen times on the way


def _inserter(name, worker, log, seed):
    shared = quillmap(name)
    rng = random.Random(seed)
    while log[worker] < KEYS_PER_WORKER:
        sequence = log[worker] + 1
        shared[(worker, sequence)] = rng.random()
        log[worker] = sequence  # every key of this worker up to here is stored
        if sequence % 100 == 0:
            time.sleep(0.01)  # spreads the growth, and its doublings, over the run
    time.sleep(3600)


def test_inserters_killed_at_random_while_the_map_doubles_lose_nothing(new_map):
    shared = new_map(size=256 * 1024 * 1024, bucket_chunk_size_exponent=3, bucket_chunk_number=1 << 14)
    log = multiprocessing.get_context("fork").RawArray("q", WORKERS)
    kills = kill_at_random(_inserter, shared.name, log, WORKERS, 0.03, is_done=lambda: min(log) >= KEYS_PER_WORKER)
    assert kills > 10
    shared["last"] = 0  # helps a doubling the last deaths left behind, if any
    keys = set(shared.keys())
    for worker in range(WORKERS):
        for sequence in range(1, log[worker] + 1):
            assert (worker, sequence) in keys, (worker, sequence)
    assert len(keys) == len(shared) == len(list(shared.keys()))
    assert shared.bucket_chunk_in_use >= 64, "the map kept doubling"
