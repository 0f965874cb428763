"""Doublings that lose a participant: a process killed at a named point of an expansion, the
expansion driver whose workers die (before, inside or after the doubling), hang or are interrupted,
and processes killed at random while they insert into a map that keeps doubling. Survivors finish
the doubling and lose nothing, and the driver returns and leaves no worker behind.

The named points need the crash-point build of the package (CORVANA_CRASH_PACKAGE); the random
kills need no special build."""
import json
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


def run_bounded(command, env, timeout=120):
    """Runs `command` in a session of its own; returns (returncode, stdout, stderr). One that has not
    ended after `timeout` seconds is killed with every process of its session, and the test fails."""
    process = subprocess.Popen(command, env=env, cwd="/", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, start_new_session=True)
    try:
        output, errors = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, errors = process.communicate()
        pytest.fail(f"did not return within {timeout} s; it wrote {output!r} and {errors[-2000:]!r}")
    return process.returncode, output, errors


def run_crash_build(script, *arguments, env=None):
    """Runs `script` with the crash-point build; returns (returncode, stdout, stderr)."""
    env = {**os.environ, "PYTHONPATH": CRASH_PACKAGE, **(env or {})}
    return run_bounded([sys.executable, "-c", textwrap.dedent(script), *arguments], env)


JOINER = """
    import os, sys
    from corvana.quillmap import dict_expansion
    dict_expansion(os.fsencode(sys.argv[1]), int(sys.argv[2]))
"""


@needs_crash_points
@pytest.mark.parametrize("point", ["expansion.marked", "expansion.recorded", "expansion.claimed", "split.begun",
                                   "split.sibling_published", "split.freeing", "split.relinked_sibling",
                                   "expansion.left"])
def test_a_participant_killed_inside_a_doubling_leaves_a_map_that_doubles_and_loses_nothing(new_map, point):
    shared = new_map(**SMALL)
    # 15 keys: among their buckets, one whose entries all move (its chain is relinked) and some split.
    expected = {f"stored-{index}": "x" * (index * 37 % 400) for index in range(15)}
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


START_METHODS = [method for method in ("fork", "spawn", "forkserver")
                 if method in multiprocessing.get_all_start_methods()]

DRIVER = """
    import multiprocessing, os, sys
    multiprocessing.set_start_method(sys.argv[3])
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    for index in range(100):  # passes crash points unarmed: this process stays immune
        shared[f"driver-{index}"] = index
    os.environ["CORVANA_CRASH_AT"] = sys.argv[2]  # the workers, started from here, die there
    before = shared.bucket_chunk_in_use
    print(shared.expansion(2), before, shared.bucket_chunk_in_use, flush=True)
"""


@needs_crash_points
@pytest.mark.parametrize("method", START_METHODS)
@pytest.mark.parametrize("point", ["expansion.claimed", "split.sibling_published"])
def test_the_driver_finishes_a_doubling_whose_workers_die_and_says_so(new_map, point, method):
    shared = new_map(**SMALL)
    expected = {f"stored-{index}": index for index in range(40)}
    for key, value in expected.items():
        shared[key] = value
    started = time.monotonic()
    code, output, errors = run_crash_build(DRIVER, os.fsdecode(shared.name), point, method)
    assert code == 0, errors
    result, before, after = (int(word) for word in output.split())
    assert result == 1 and after == 2 * before, output
    assert time.monotonic() - started < 60, "the driver waited for tasks whose workers had died"
    expected.update({f"driver-{index}": index for index in range(100)})
    assert dict(shared.items()) == expected


# A driver that kills one of expansion()'s workers, or interrupts the call, and then looks for
# workers left behind. Its workers are found in /proc: the processes below it, but for the
# resource tracker and the fork server (whose children are the workers of the forkserver method),
# both started before the call.
KILLING_DRIVER = """
import json, multiprocessing, os, signal, sys, threading, time
from multiprocessing import forkserver, resource_tracker


def children(parent):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", "rb") as stat:
                fields = stat.read().rsplit(b")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == parent:
            found.append(int(entry))
    return found


def workers():
    helpers = (resource_tracker._resource_tracker._pid, forkserver._forkserver._forkserver_pid)
    found = []
    for pid in children(os.getpid()):
        if pid == helpers[1]:
            found += children(pid)
        elif pid != helpers[0]:
            found.append(pid)
    return found


def when(condition, action):  # action(what condition() gave) once that is true
    def watch():
        while not (value := condition()):
            time.sleep(0.001)
        action(value)
    threading.Thread(target=watch, daemon=True).start()


if __name__ == "__main__":
    name, method, parallelism, moment, linger = sys.argv[1:6]
    os.environ["LINGER_SECONDS"] = linger
    multiprocessing.set_start_method(method)
    if method != "fork":
        resource_tracker.ensure_running()
    if method == "forkserver":
        forkserver.ensure_running()
    import corvana.quillmap as qm
    import lingering
    qm.dict_expansion = lingering.task  # what expansion() hands its workers
    shared = qm.quillmap(os.fsencode(name))
    before = shared.bucket_chunk_in_use
    killed = []

    def kill_a_worker(found):
        os.kill(found[0], signal.SIGKILL)
        killed.append(found[0])

    def interrupt(_):
        time.sleep(0.2)  # the caller is back in its wait
        os.kill(os.getpid(), signal.SIGINT)

    if moment == "starting":  # the first worker as soon as it exists, before its task can run
        when(workers, kill_a_worker)
    elif moment.startswith("after:"):  # the first worker, that many seconds after it appeared
        when(workers, lambda found: (time.sleep(float(moment[6:])), kill_a_worker(found)))
    elif moment == "lingering":  # a worker that is still there once the doubling is done
        when(lambda: shared.bucket_chunk_in_use > before and workers(), kill_a_worker)
    elif moment == "interrupted":  # Ctrl-C while the workers, all started, linger after the doubling
        when(lambda: shared.bucket_chunk_in_use > before and len(workers()) == int(parallelism), interrupt)
    started = time.monotonic()
    try:
        result = shared.expansion(int(parallelism))
    except KeyboardInterrupt:
        result = "KeyboardInterrupt"
    print(json.dumps({"result": result, "before": before, "after": shared.bucket_chunk_in_use,
                      "seconds": time.monotonic() - started, "killed": killed, "left": workers()}))
"""

LINGERING_TASK = """
import os, time
from corvana.quillmap import dict_expansion


def task(name, target_length):
    result = dict_expansion(name, target_length)
    time.sleep(float(os.environ["LINGER_SECONDS"]))
    return result
"""


def run_killing_driver(tmp_path, shared, method, parallelism, moment, linger):
    (tmp_path / "driver.py").write_text(KILLING_DRIVER)
    (tmp_path / "lingering.py").write_text(LINGERING_TASK)
    path = os.pathsep.join(filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))
    command = [sys.executable, str(tmp_path / "driver.py"), os.fsdecode(shared.name), method, str(parallelism),
               moment, str(linger)]
    code, output, errors = run_bounded(command, {**os.environ, "PYTHONPATH": path}, timeout=60)
    assert code == 0, errors
    return json.loads(output)


@pytest.mark.parametrize("method", START_METHODS)
@pytest.mark.parametrize("moment, parallelism",
                         [("starting", 1), ("starting", 3), ("after:0.003", 3), ("lingering", 3)])
def test_the_driver_returns_when_a_worker_is_killed_and_leaves_none_behind(new_map, tmp_path, method, moment,
                                                                          parallelism):
    shared = new_map(**SMALL)
    expected = {f"stored-{index}": index for index in range(40)}
    for key, value in expected.items():
        shared[key] = value
    report = run_killing_driver(tmp_path, shared, method, parallelism, moment, linger=0.5)
    assert len(report["killed"]) == 1, report
    # The map doubled all the same; with its only worker killed at the start, by the caller itself.
    assert report["result"] == 1 and report["after"] == 2 * report["before"], report
    assert report["left"] == [], report
    assert dict(shared.items()) == expected


def test_a_worker_that_does_not_end_is_ended_once_the_map_has_doubled(new_map, tmp_path):
    shared = new_map(**SMALL)
    for index in range(40):
        shared[index] = index
    report = run_killing_driver(tmp_path, shared, "fork", 2, "none", linger=3600)
    assert report["result"] == 1 and report["after"] == 2 * report["before"], report
    assert report["left"] == [], report
    assert report["seconds"] < 30, report


@pytest.mark.parametrize("method", START_METHODS)
def test_ctrl_c_ends_the_call_and_its_workers(new_map, tmp_path, method):
    shared = new_map(**SMALL)
    for index in range(40):
        shared[index] = index
    report = run_killing_driver(tmp_path, shared, method, 2, "interrupted", linger=3600)
    assert report["result"] == "KeyboardInterrupt", report
    assert report["left"] == [], report
    assert report["seconds"] < 30, report
    assert shared.bucket_chunk_in_use == 2 * report["before"]


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
