"""Processes that die or stop inside an operation. Survivors take the dead holder's locks over and
lose nothing that was completed; a process waiting on a stopped holder sleeps, and Ctrl-C ends its
wait with KeyboardInterrupt.

The tests that stop a process at a named point run it with the crash-point build of the package
(CORVANA_CRASH_PACKAGE, made by the native test build); the random kills need no special build."""
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

# One bucket that can never grow: every key shares the lock the dying process holds.
ONE_BUCKET = dict(size=64 * 1024 * 1024, bucket_chunk_size_exponent=0, bucket_chunk_number=1)
BIG = 10 * 1024  # values of 10 KiB, as the writers that get killed in practice

CHILD = textwrap.dedent("""
    import os, sys
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    operation = sys.argv[2]
    if operation == "insert":
        shared["victim"] = "v" * {big}
    elif operation == "replace":
        shared["key-3"] = "r" * 100
    elif operation == "remove":
        del shared["key-0"]
    print("finished", flush=True)
""").format(big=BIG)


def start_child(name, operation, point, action="KILL"):
    env = {**os.environ, "PYTHONPATH": CRASH_PACKAGE, "CORVANA_CRASH_AT": point, "CORVANA_CRASH_ACTION": action}
    return subprocess.Popen([sys.executable, "-c", CHILD, os.fsdecode(name), operation], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def filled(map_):
    expected = {f"key-{index}": str(index) * BIG for index in range(10)}
    for key, value in expected.items():
        map_[key] = value
    return expected


# (point, operation, whether survivors find the change made)
POINTS = [
    ("change.begun", "insert", False), ("change.published", "insert", True),
    ("change.counted", "insert", True), ("change.ended", "insert", True),
    ("change.begun", "replace", False), ("change.published", "replace", True),
    ("change.freeing", "replace", True),
    ("change.begun", "remove", False), ("change.published", "remove", True),
    ("change.freeing", "remove", True),
    ("slab.refill.recorded", "insert", False),
]


@needs_crash_points
@pytest.mark.parametrize("point,operation,is_done", POINTS, ids=[f"{point}-{operation}" for point, operation, _ in POINTS])
def test_a_writer_killed_inside_an_operation_leaves_nothing_half_done(new_map, point, operation, is_done):
    shared = new_map(**ONE_BUCKET)
    expected = filled(shared)
    child = start_child(shared.name, operation, point)
    _, errors = child.communicate(timeout=60)
    assert child.returncode == -signal.SIGKILL, errors
    if is_done:
        if operation == "insert":
            expected["victim"] = "v" * BIG
        elif operation == "replace":
            expected["key-3"] = "r" * 100
        else:
            del expected["key-0"]
    started = time.monotonic()
    assert shared["key-9"] == expected["key-9"]  # a reader of another key of the dead holder's bucket
    assert time.monotonic() - started < 1.0
    assert dict(shared.items()) == expected
    assert len(shared) == len(expected) == len(list(shared.keys()))
    shared["after"] = 1
    assert shared["after"] == 1


@needs_crash_points
def test_a_waiter_on_a_stopped_holder_sleeps_and_ctrl_c_interrupts_it(new_map):
    shared = new_map(**ONE_BUCKET)
    expected = filled(shared)
    holder = start_child(shared.name, "insert", "change.published", action="STOP")
    deadline = time.monotonic() + 30
    while open(f"/proc/{holder.pid}/stat").read().split(") ")[1][0] != "T":
        assert time.monotonic() < deadline, "the holder never stopped"
        time.sleep(0.01)
    reader = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import os, sys
        from corvana.quillmap import quillmap
        shared = quillmap(os.fsencode(sys.argv[1]))
        print("waiting", flush=True)
        try:
            shared["key-1"]
            print("read")
        except KeyboardInterrupt:
            print("interrupted")
    """), os.fsdecode(shared.name)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert reader.stdout.readline().strip() == "waiting"
    time.sleep(1.0)
    assert reader.poll() is None, "a stopped holder is alive: its lock is never taken over"
    reader.send_signal(signal.SIGINT)
    _, status, usage = os.wait4(reader.pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, reader.stderr.read()
    assert reader.stdout.read().strip() == "interrupted"
    assert usage.ru_utime + usage.ru_stime < 0.6, "the waiter used the processor instead of sleeping"
    reader.returncode = 0

    holder.send_signal(signal.SIGCONT)
    output, errors = holder.communicate(timeout=60)
    assert holder.returncode == 0 and "finished" in output, errors
    expected["victim"] = "v" * BIG
    assert dict(shared.items()) == expected
    assert len(shared) == len(expected)


# ---- Random kills of busy writers ---------------------------------------------------------------

KEYS = 40  # per worker
WORKERS = 3
# Per worker and key, three int64 words: the completed sequence number (0: never written; negative:
# removed at that sequence), the pending one, and whether an operation is under way.
WORDS = 3


def _writer(name, worker, log, seed):
    shared = quillmap(name, hash_function=_shared_buckets)
    rng = random.Random(seed)
    base = worker * KEYS * WORDS
    for key in range(KEYS):  # settle what a previous incarnation left cut short
        at = base + key * WORDS
        if log[at + 2]:
            found = shared.lookup((worker, key))
            pending = log[at + 1]
            if (found == pending) if pending > 0 else (found is None):
                log[at] = pending
            log[at + 2] = 0
    while True:
        key = rng.randrange(KEYS)
        at = base + key * WORDS
        sequence = abs(log[at]) + 1
        removes = rng.random() < 0.3
        log[at + 1] = -sequence if removes else sequence
        log[at + 2] = 1
        if removes:
            shared.pop((worker, key), None)
        else:
            shared[(worker, key)] = sequence
        log[at] = log[at + 1]
        log[at + 2] = 0


def _shared_buckets(key):
    """Every key of every worker in one of four buckets, the same in every process."""
    return (key[0] * 7 + key[1]) % 4


@pytest.mark.parametrize("kills_repairers", [False, True], ids=["one-death", "deaths-inside-repairs"])
def test_writers_killed_at_random_lose_nothing_they_completed(new_map, kills_repairers):
    shared = new_map(bucket_chunk_size_exponent=2, bucket_chunk_number=1, hash_function=_shared_buckets)
    log = multiprocessing.get_context("fork").RawArray("q", WORKERS * KEYS * WORDS)
    assert kill_at_random(_writer, shared.name, log, WORKERS, 0.05, kills_repairers=kills_repairers) > 10
    expected = {}
    for worker in range(WORKERS):
        for key in range(KEYS):
            at = (worker * KEYS + key) * WORDS
            found = shared.lookup((worker, key))
            completed, pending = log[at], log[at + 1]
            cut_short_was_done = log[at + 2] and (found == pending if pending > 0 else found is None)
            if not cut_short_was_done:
                assert found == (completed if completed > 0 else None), (worker, key)
            if found is not None:
                expected[(worker, key)] = found
    assert dict(shared.items()) == expected
    assert len(shared) == len(expected)
    done = subprocess.run([sys.executable, "-m", "corvana", "check", os.fsdecode(shared.name)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0 and ": sound: " in done.stdout, (done.stdout, done.stderr)
