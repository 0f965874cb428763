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


# Creating a second interpreter takes a private module of the interpreter, another one by version:
# _xxsubinterpreters (3.9 to 3.12) raises the failure of the code it runs; _interpreters (3.13)
# returns it, and needs a "legacy" interpreter, whose import system does not refuse a module made for
# one interpreter before the module's own check can. This is the one place that uses either.
def run_in_second_interpreter(code, first=""):
    """Runs `first` in a new process, then `code` in a second interpreter of it; returns what the
    process printed, the failure of `code` included. None when this Python has no module to create
    interpreters with."""
    import importlib.util

    if importlib.util.find_spec("_xxsubinterpreters"):
        run = f"""
            import _xxsubinterpreters as interpreters
            interpreter = interpreters.create()
            try:
                interpreters.run_string(interpreter, {code!r})
            except Exception as error:
                print(error)
        """
    elif importlib.util.find_spec("_interpreters"):
        run = f"""
            import _interpreters as interpreters
            interpreter = interpreters.create("legacy")
            print(interpreters.run_string(interpreter, {code!r}).formatted)
        """
    else:
        return None
    return run_python(first + "\n" + textwrap.dedent(run))


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


def gather_reports(processes, results, seconds, started=lambda: None):
    """Starts the processes, calls `started()`, then takes one report (kind, data, error) from each
    off the `results` queue (before joining, so that no process blocks on a full queue), waits for
    them and fails the test unless every one ended with exit code 0 and reported no error."""
    for process in processes:
        process.start()
    started()
    reports = [results.get(timeout=seconds * 10 + 60) for _ in processes]
    for process in processes:
        process.join(timeout=60)
        assert process.exitcode == 0
    errors = [error for _, _, error in reports if error]
    assert not errors, errors
    return reports


def kill_at_random(target, name, log, workers, longest_pause, is_done=lambda: False, kills_repairers=False):
    """Runs `workers` forked processes target(name, worker, log, seed) and, for the stress time
    (CORVANA_STRESS_SECONDS, 3 s), SIGKILLs one at random after pauses of up to `longest_pause`
    seconds and starts it again, until `is_done()`; then kills them all. With `kills_repairers`,
    each kill is followed 2 to 8 ms later by a second one, while the others take the first one's
    locks over and repair them. Returns the number of kills."""
    import multiprocessing
    import random
    import signal

    context = multiprocessing.get_context("fork")
    seed = random.randrange(1 << 30)
    print("seed", seed)
    rng = random.Random(seed)

    def start(worker):
        process = context.Process(target=target, args=(name, worker, log, rng.random()), daemon=True)
        process.start()
        return process

    processes = [start(worker) for worker in range(workers)]
    kills = 0
    deadline = time.monotonic() + float(os.environ.get("CORVANA_STRESS_SECONDS", "3"))
    while time.monotonic() < deadline:
        time.sleep(rng.uniform(0.005, longest_pause))
        if is_done():
            break
        for round_ in range(2 if kills_repairers else 1):
            if round_:
                time.sleep(rng.uniform(0.002, 0.008))
            victim = rng.randrange(workers)
            os.kill(processes[victim].pid, signal.SIGKILL)
            processes[victim].join()
            kills += 1
            processes[victim] = start(victim)
    for process in processes:
        os.kill(process.pid, signal.SIGKILL)
        process.join()
    return kills


@pytest.fixture(scope="session")
def redis_server():
    """A redis-server of the tests' own for the whole session. Where it cannot run, the tests that
    need it are skipped with the reason, except under CI, which must run them."""
    from backends import RedisServer, redis_missing

    reason = redis_missing()
    if reason is not None:
        if os.environ.get("CI", "").lower() not in ("", "0", "false", "no"):
            pytest.fail(f"the Redis tests must run under CI: {reason}")
        pytest.skip(reason)
    server = RedisServer().start()
    yield server
    server.remove()


@pytest.fixture(params=["memory", "redis"])
def backend(request):
    """Each backend of the shared dict in turn: backend.new(**options) makes a new map (SharedDict on
    a small memory file, RedisDict on the tests' server), backend.open(d, **options) opens d's map
    again; every map is removed after the test."""
    from backends import MemoryBackend, RedisBackend

    made = MemoryBackend() if request.param == "memory" else RedisBackend(request.getfixturevalue("redis_server"))
    yield made
    made.cleanup()


# ---- Processes that die or stop at a named point ------------------------------------------------

CRASH_PACKAGE = os.environ.get("CORVANA_CRASH_PACKAGE")
needs_crash_points = pytest.mark.skipif(
    not CRASH_PACKAGE, reason="needs the crash-point build of the package (CORVANA_CRASH_PACKAGE)")


def start_crash_build(code, *arguments, point, action="KILL", skip=0):
    """Starts `code` in a new interpreter with the crash-point build of the package, to die (KILL)
    or stop (STOP) at the (skip + 1)-th time it reaches `point`."""
    env = {**os.environ, "PYTHONPATH": CRASH_PACKAGE, "CORVANA_CRASH_AT": point, "CORVANA_CRASH_ACTION": action,
           "CORVANA_CRASH_SKIP": str(skip)}
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *arguments], env=env, cwd="/",
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_until_stopped(process, seconds=30):
    """Waits until `process` is stopped (by SIGSTOP at its crash point)."""
    deadline = time.monotonic() + seconds
    while open(f"/proc/{process.pid}/stat").read().split(") ")[1][0] != "T":
        assert process.poll() is None, process.communicate()[1]
        assert time.monotonic() < deadline, "the process never stopped"
        time.sleep(0.01)
