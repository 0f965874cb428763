"""One trial of bench/compare.py: one contender, one kind of key, run in a fresh interpreter.

The workload: N keys (ints 0..N-1, or strings "user:<8 hex digits>") with small dict values;
the phases insert all, get all in a random order, replace all with new values, remove all. The
one-process run times each phase on a new store; the two-process run forks two children that
open the same store and run each phase on their half of the keys at once, started together by a
barrier, so that a phase lasts from the first child's start to the last child's end. Each run is
repeated and the best time of each phase is kept. Between phases (never timed) a sample of keys is
read back and compared, so a store that loses or mangles entries fails the trial.
"""
import gc
import multiprocessing
import random
import time
import traceback

from compare_stores import file_footprint, resident_kib

PHASES = ("insert", "get", "replace", "remove")
CHECKED_KEYS = 200
CHILD_TIMEOUT_SECONDS = 300


class Workload:
    def __init__(self, keys, values, replacements, get_order):
        self.keys, self.values, self.replacements, self.get_order = keys, values, replacements, get_order

    def part(self, index, parts):
        """The index-th of `parts` disjoint contiguous parts (the get order restricted to it)."""
        size = len(self.keys)
        start, stop = index * size // parts, (index + 1) * size // parts
        own = set(self.keys[start:stop])
        return Workload(self.keys[start:stop], self.values[start:stop], self.replacements[start:stop],
                        [key for key in self.get_order if key in own])


def make_key(kind, index):
    return index if kind == "int" else f"user:{index * 2654435761 % 2 ** 32:08x}"


def make_workload(kind, count, seed=1):
    """N keys of `kind` with their values, replacement values and a shuffled get order."""
    keys = [make_key(kind, index) for index in range(count)]
    values = [{"id": index, "name": f"item {index}", "score": index * 0.5, "tags": ["red", "green"]}
              for index in range(count)]
    replacements = [{"id": index, "name": f"item {index} v2", "score": -1.0, "tags": ["blue"]}
                    for index in range(count)]
    get_order = keys[:]
    random.Random(seed).shuffle(get_order)
    return Workload(keys, values, replacements, get_order)


def run_phase(store, phase, workload):
    if phase == "insert":
        store.insert(workload.keys, workload.values)
    elif phase == "get":
        store.get(workload.get_order)
    elif phase == "replace":
        store.replace(workload.keys, workload.replacements)
    else:
        store.remove(workload.keys)


def check_phase(store, phase, workload):
    """Reads a sample of keys back after `phase`; raises AssertionError on any difference."""
    step = max(1, len(workload.keys) // CHECKED_KEYS)
    for index in range(0, len(workload.keys), step):
        key = workload.keys[index]
        found = store.fetch(key)
        if found is None:
            return  # the store keeps nothing to check
        if phase == "remove":
            expected = (False, None)
        else:
            expected = (True, workload.replacements[index] if phase == "replace" else workload.values[index])
        if found != expected:
            raise AssertionError(f"after {phase}, key {key!r} reads {found!r}, expected {expected!r}")


def one_process(contender, workload, directory, repeats):
    """Best seconds per phase, creation seconds, and the footprint after the insert phase."""
    best = {phase: float("inf") for phase in PHASES}
    best_create = float("inf")
    footprint = None
    for _ in range(repeats):
        resident_before = resident_kib()
        started = time.perf_counter()
        store = contender.create(directory)
        best_create = min(best_create, time.perf_counter() - started)
        try:
            resident_before_prepare = resident_kib()
            store.prepare(workload)
            prepared_kib = resident_kib() - resident_before_prepare  # the harness's, not the store's
            for phase in PHASES:
                started = time.perf_counter()
                run_phase(store, phase, workload)
                best[phase] = min(best[phase], time.perf_counter() - started)
                if phase == "insert" and footprint is None:
                    apparent, allocated = file_footprint(contender.files())
                    footprint = {
                        "resident_kib": resident_kib() - resident_before - prepared_kib,
                        "server_resident_kib": sum(resident_kib(pid) for pid in contender.server_pids()),
                        "file_bytes": apparent, "file_allocated_bytes": allocated}
                check_phase(store, phase, workload)
            store.close()
        finally:
            contender.destroy()
    return best, best_create, footprint


def _child(contender, kind, count, index, barrier, results):
    try:
        # Its own copy of its half: touching objects inherited through fork would copy their
        # pages on write inside the timed phases.
        part = make_workload(kind, count).part(index, 2)
        store = contender.open_in_child()
        store.prepare(part)
        times = {}
        for phase in PHASES:
            barrier.wait(CHILD_TIMEOUT_SECONDS)
            started = time.perf_counter()  # CLOCK_MONOTONIC: comparable between processes
            run_phase(store, phase, part)
            times[phase] = (started, time.perf_counter())
            check_phase(store, phase, part)
        store.close()
        results.put(("ok", times))
    except BaseException:
        barrier.abort()
        results.put(("error", traceback.format_exc()))


def collect_reports(children, results):
    """One report per child; a child that dies without one (a crash) becomes an error report."""
    import queue

    reports = []
    deadline = time.monotonic() + CHILD_TIMEOUT_SECONDS
    while len(reports) < len(children):
        try:
            reports.append(results.get(timeout=0.5))
        except queue.Empty:
            if time.monotonic() > deadline:
                raise TimeoutError(f"the children took more than {CHILD_TIMEOUT_SECONDS} s")
            dead = [child for child in children if child.exitcode is not None]
            if len(dead) > len(reports) and results.empty():
                codes = [child.exitcode for child in children]
                reports += [("error", f"a child died without a report: exit codes {codes}")] * (
                    len(children) - len(reports))
    return reports


def two_processes(contender, kind, count, directory, repeats):
    """Best seconds per phase with two forked children on disjoint halves of the keys."""
    context = multiprocessing.get_context("fork")
    best = {phase: float("inf") for phase in PHASES}
    for _ in range(repeats):
        children = []
        contender.create(directory)
        try:
            contender.before_fork()
            gc.freeze()  # the children's collections leave the inherited objects (and pages) alone
            barrier = context.Barrier(2)
            results = context.Queue()
            children = [context.Process(target=_child, args=(contender, kind, count, index, barrier, results))
                        for index in range(2)]
            for child in children:
                child.start()
            reports = collect_reports(children, results)
            errors = [detail for status, detail in reports if status != "ok"]
            for child in children:
                child.join(1 if errors else CHILD_TIMEOUT_SECONDS)  # the finally below kills stragglers
            if errors:
                # The child that failed first broke the barrier of the other: its error comes last.
                errors.sort(key=lambda detail: "BrokenBarrierError" in detail)
                raise RuntimeError("a child failed:\n" + "\n".join(reversed(errors)))
            for phase in PHASES:
                first_start = min(times[phase][0] for _, times in reports)
                last_end = max(times[phase][1] for _, times in reports)
                best[phase] = min(best[phase], last_end - first_start)
        finally:
            for child in children:
                if child.is_alive():
                    child.kill()
                    child.join()
            contender.destroy()
    return best


def short_error(error):
    """The last line of an error's text, cut to a readable length (texts can carry whole buffers)."""
    lines = str(error).strip().splitlines()
    text = lines[-1] if lines else type(error).__name__
    return text if len(text) <= 200 else text[:200] + "..."


def run_trial(contender, kind, count, repeats, directory, processes):
    """The trial's result as a JSON-ready dict."""
    workload = make_workload(kind, count)
    contender.check(workload.keys[0], workload.values[0])
    result = {"contender": contender.name, "keys": kind, "n": count, "note": contender.note}
    if 1 in processes:
        seconds, create_seconds, footprint = one_process(contender, workload, directory, repeats)
        result["one"] = {phase: count / seconds[phase] for phase in PHASES}
        result["create_seconds"] = create_seconds
        result["footprint"] = footprint
    if 2 in processes and contender.shared:
        try:
            seconds = two_processes(contender, kind, count, directory, repeats)
            result["two"] = {phase: count / seconds[phase] for phase in PHASES}
        except Exception as error:  # the one-process figures stand; the table shows the failure
            traceback.print_exc()
            result["two_error"] = short_error(error)
    return result
