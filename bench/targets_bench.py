"""quillmap against the figures it is meant to reach, each measured as a ratio to a baseline taken
in the same run (the machine is shared and noisy: a contender and its baseline run in alternation,
and each keeps the best of the repeats).

    python bench/targets_bench.py                          # every section, about 3 minutes on 2 cores
    python bench/targets_bench.py --keys 100000            # a quick run
    python bench/targets_bench.py --only floor,ticker      # some sections
    python bench/targets_bench.py --processes 4 --json     # one JSON object with every figure

Every section runs in a fresh interpreter of its own, so that one section's memory, threads and
forked children never touch another's figures; every map lives in a private temporary directory
that is removed at the end, and every map is unlinked as soon as its section is done with it.
Values are small dicts, {"id": i, "name": "item", "score": i * 0.5} (updates store
{"id": i, "name": "updated", "score": -1.0}), serialized with pickle, in the map and in the floor.
The map is used through the dict protocol: q[k] = v, q[k], del q[k].

Sections and what their figures mean (target in brackets):

floor    Time per operation of the map divided by its serialization floor, the time pickle alone
         takes for the same operation: insert and update, pickle.dumps(key) + pickle.dumps(value);
         get, pickle.dumps(key) + pickle.loads(value bytes); remove, pickle.dumps(key) [<= 1.3].
         N keys 0..N-1 (--keys, default 1,000,000), then keys k << 16, then str keys "key-<i>".
         Insert runs in key order, get, update and remove in one shuffled order (fixed seed). The
         map has a bucket per key from the start, so no expansion runs while it is timed. The row
         "k<<16 / sequential" is the map's time per operation on keys k << 16 divided by its time
         on keys 0..N-1: keys that share their low bits must spread over the buckets [<= 1.2].
         These keys are first inserted once, a block at a time: when they fall behind 5 times the
         time of sequential keys, the row shows that insert's ratio over the keys done (a lower
         bound: the piles only grow) and they are not run further.
scaling  P processes (--processes, default 2), forked and started together by a barrier, each run
         every operation on its own contiguous part of N int keys; the parallel phase lasts from
         the first process's start to the last one's end. Speedup: the time of one process doing
         all N keys (also forked) divided by the time of the P processes. The same for the
         serialization floor run the same way; ratio = map speedup / floor speedup [>= 0.9]: the
         map scales as well as the processor allows.
create   quillmap() with its default parameters, in fresh interpreters (the imports are done
         before the first reading): creation time [< 5 ms], resident memory it adds, from
         /proc/self/statm [< 2 MiB], the file's allocated bytes (st_blocks * 512), and the time of
         the first insert. Each figure is its best over max(5, repeats) interpreters.
memory   N small entries inserted into a map, in a fresh interpreter: the file's allocated bytes,
         against data = the sum of len(pickle.dumps(k)) + len(pickle.dumps(v)) over the entries;
         ratio = allocated / (1.5 * data + 64 * N) [<= 1.0]. Also the process's resident memory
         growth over the insert. Two maps: "default" has the default parameters (its 2^20 buckets
         made at creation) but for a heap of max(650 MB, 1 KiB per key); "grown" starts with 2^10
         buckets and doubles them as it fills.
ticker   A thread of the same process sleeps 1 ms in a loop and records the gaps between its
         wakeups, while the main thread inserts N keys into a map made with 2^10 buckets, so that
         it doubles its buckets many times on the way (an insert that finds more than two entries
         per bucket on average runs a doubling). Reported: the worst gap and the 99th percentile
         of the gaps, the longest single insert (the one that ran the last doubling), and the same
         gaps beside a loop of pickle.dumps alone as the baseline. The ticker must keep running
         during a doubling: worst gap far below the longest insert. The gaps include the
         interpreter's switch interval (sys.getswitchinterval(), 5 ms by default): a thread that
         wakes waits up to that long for the main thread to give the interpreter lock away.
growth   N inserts into a map that starts with 2^10 buckets (it doubles them as it fills; the
         insert that starts a doubling does its work), and the same N inserts into a plain dict
         (which resizes as it grows), in alternation: the longest single insert of each, the
         inserts over 1 ms, and ratio = longest map insert / longest dict insert [<= 2.0]. The
         best ratio of the repeats.
doubling Inserts (replacing values of random existing keys, 100 per batch) of one process into a
         map of N entries, alone for 0.5 s and then while another process doubles the map
         (dict_expansion): kept = rate during the doubling / rate alone [>= 0.3]; the same for
         gets beside it. The best of the repeats.

Not a test: nothing here asserts a time. A map that loses or mangles entries (checked on a sample
of keys between timed phases, outside the timings) fails its section with an error.
"""
import argparse
import gc
import json
import math
import os
import pickle
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

from compare_stores import file_footprint
from compare_trial import collect_reports

SECTIONS = ("floor", "scaling", "create", "memory", "ticker", "growth", "doubling")
OPERATIONS = ("insert", "get", "update", "remove")
SEED = 16
CHECKED_KEYS = 100
# The keys k << 16 are first inserted once, a block at a time; past this many times the time
# of sequential keys (plus the slack), they are not run at full N.
SHIFTED_LIMIT = 5.0
SHIFTED_PILOT_BLOCK = 10_000
SHIFTED_PILOT_SLACK_SECONDS = 0.2
SECTION_TIMEOUT_SECONDS = 900
BARRIER_TIMEOUT_SECONDS = 300
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
MIB = 1024 * 1024


# ---------------------------------------------------------------------------------------------
# The workload


def make_keys(kind, start, stop):
    if kind == "int":
        return list(range(start, stop))
    if kind == "shifted":
        return [index << 16 for index in range(start, stop)]
    return [f"key-{index}" for index in range(start, stop)]


def make_values(start, stop):
    return [{"id": index, "name": "item", "score": index * 0.5} for index in range(start, stop)]


def make_updates(start, stop):
    return [{"id": index, "name": "updated", "score": -1.0} for index in range(start, stop)]


def shuffled_order(count, seed=SEED):
    order = list(range(count))
    random.Random(seed).shuffle(order)
    return order


def sized_map(count):
    """A map with at least one bucket per key from the start (no expansion while it fills: one
    happens only past two entries per bucket) and a heap with ample room (a sparse file)."""
    from corvana.quillmap import quillmap

    exponent = max(10, math.ceil(math.log2(max(count, 2))))
    size = max(512 * MIB, count * 2048)
    return quillmap(size=size, bucket_chunk_size_exponent=exponent, bucket_chunk_number=4)


def chunks_for(count):
    """Room in the bucket table of a map with 2^10 buckets per chunk for the doublings that N keys
    bring about (one past two entries per bucket on average), with a doubling to spare."""
    return max(100, 2 ** math.ceil(math.log2(max(1, count // 1024))))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def sample(count):
    return range(0, count, max(1, count // CHECKED_KEYS))


def check_entries(q, keys, expected, what):
    """Reads a sample of keys back (untimed); raises AssertionError on any difference."""
    for index in sample(len(keys)):
        found = q.lookup(keys[index], "<absent>")
        wanted = "<absent>" if expected is None else expected[index]
        if found != wanted:
            raise AssertionError(f"after {what}, key {keys[index]!r} reads {found!r}, expected {wanted!r}")


# The timed loops. Each binds what it calls to locals so that the loop measures the map or pickle
# and not name lookups; the map's loops use the subscript syntax, one bytecode each.

def map_insert(q, keys, values):
    for key, value in zip(keys, values):
        q[key] = value


def map_get(q, keys, _unused=None):
    for key in keys:
        q[key]


def map_remove(q, keys, _unused=None):
    for key in keys:
        del q[key]


def floor_insert(keys, values, dumps=pickle.dumps):
    for key, value in zip(keys, values):
        dumps(key)
        dumps(value)


def floor_get(keys, value_bytes, dumps=pickle.dumps, loads=pickle.loads):
    for key, data in zip(keys, value_bytes):
        dumps(key)
        loads(data)


def floor_remove(keys, _unused=None, dumps=pickle.dumps):
    for key in keys:
        dumps(key)


MAP_LOOPS = {"insert": map_insert, "get": map_get, "update": map_insert, "remove": map_remove}
FLOOR_LOOPS = {"insert": floor_insert, "get": floor_get, "update": floor_insert, "remove": floor_remove}


class Workload:
    """One part of the keys with what every operation iterates: insert in key order, the others in
    one shuffled order. `get_data` holds the pickled values the get floor loads."""

    def __init__(self, kind, start, stop, seed=SEED, like=None):
        """`like`: a workload of the same range and seed whose values this one shares (they are
        the same for every kind of key, and a million of them take hundreds of MiB)."""
        keys = make_keys(kind, start, stop)
        order = shuffled_order(stop - start, seed)
        self.keys = keys
        self.shuffled_keys = [keys[index] for index in order]
        if like is None:
            self.values, self.updates = make_values(start, stop), make_updates(start, stop)
            value_bytes = [pickle.dumps(self.values[index]) for index in order]
            shuffled_updates = [self.updates[index] for index in order]
        else:
            self.values, self.updates = like.values, like.updates
            value_bytes, shuffled_updates = like.arguments["get"][1], like.arguments["update"][1]
        self.arguments = {
            "insert": (keys, self.values),
            "get": (self.shuffled_keys, value_bytes),
            "update": (self.shuffled_keys, shuffled_updates),
            "remove": (self.shuffled_keys, None),
        }

    def run_map(self, q, operation):
        MAP_LOOPS[operation](q, *self.arguments[operation])

    def run_floor(self, operation):
        FLOOR_LOOPS[operation](*self.arguments[operation])

    def check(self, q, operation):
        if operation in ("insert", "get"):
            check_entries(q, self.keys, self.values, operation)
        elif operation == "update":
            check_entries(q, self.keys, self.updates, operation)
        else:
            check_entries(q, self.keys, None, operation)


def timed(run, *arguments):
    started = time.perf_counter()
    run(*arguments)
    return time.perf_counter() - started


# ---------------------------------------------------------------------------------------------
# floor


def section_floor(arguments):
    count, repeats = arguments.keys, arguments.repeats
    kinds = ["int", "shifted", "str"]
    workloads = {"int": Workload("int", 0, count)}
    for kind in kinds[1:]:
        workloads[kind] = Workload(kind, 0, count, like=workloads["int"])
    gc.collect()
    gc.freeze()  # the workload's million objects stay out of the collections that run while timed
    best = {(kind, contender, operation): math.inf
            for kind in kinds for contender in ("map", "floor") for operation in OPERATIONS}
    q = sized_map(count)
    try:
        chunks = q.bucket_chunk_in_use
        pilot = shifted_pilot(q, workloads["int"], workloads["shifted"])
        if pilot["keys_done"] < count:
            kinds.remove("shifted")  # the pilot's figure stands
        for repeat in range(repeats):
            for kind in kinds:
                workload = workloads[kind]
                for operation in OPERATIONS:
                    # Alternate which of the two goes first, so that neither always follows the other.
                    pair = [("map", lambda: timed(workload.run_map, q, operation)),
                            ("floor", lambda: timed(workload.run_floor, operation))]
                    for contender, run in (pair if repeat % 2 == 0 else pair[::-1]):
                        seconds = run()
                        key = (kind, contender, operation)
                        best[key] = min(best[key], seconds)
                    workload.check(q, operation)
                    expected_length = 0 if operation == "remove" else count
                    if len(q) != expected_length:
                        raise AssertionError(f"{kind} keys: len(q) is {len(q)} after {operation}, "
                                             f"expected {expected_length}")
        expansions = q.bucket_chunk_in_use != chunks
    finally:
        q.close()
        q.unlink()
    rows = {}
    for kind in kinds:
        rows[kind] = {}
        for operation in OPERATIONS:
            map_ns = best[kind, "map", operation] / count * 1e9
            floor_ns = best[kind, "floor", operation] / count * 1e9
            rows[kind][operation] = {"map_ns": map_ns, "floor_ns": floor_ns, "ratio": map_ns / floor_ns}
    if "shifted" in kinds:
        shifted = {operation: best["shifted", "map", operation] / best["int", "map", operation]
                   for operation in OPERATIONS}
    else:
        shifted = None
    return {"keys": count, "repeats": repeats, "rows": rows, "shifted_over_sequential": shifted,
            "shifted_pilot": pilot,
            "expansion_while_timed": expansions}


def shifted_pilot(q, sequential, shifted):
    """Inserts keys k << 16 into the empty map a block at a time, and gives up once they run over
    SHIFTED_LIMIT times as long per key as keys 0..N-1 do: keys that pile up in few buckets make
    every operation walk a list as long as the pile, and a full run would take hours. Returns how
    many keys went in and their time per insert over the sequential keys' (over the keys done
    when it gave up: a lower bound, as the piles only grow). The map is left empty."""
    count = len(sequential.keys)
    sequential_per_key = timed(sequential.run_map, q, "insert") / count
    sequential.run_map(q, "remove")
    keys, values = shifted.keys, shifted.values
    done, started = 0, time.perf_counter()
    while done < count:
        stop = min(count, done + SHIFTED_PILOT_BLOCK)
        map_insert(q, keys[done:stop], values[done:stop])
        done = stop
        elapsed = time.perf_counter() - started
        if elapsed > SHIFTED_LIMIT * sequential_per_key * done + SHIFTED_PILOT_SLACK_SECONDS:
            break
    map_remove(q, keys[:done])
    if len(q) != 0:
        raise AssertionError(f"len(q) is {len(q)} after the k << 16 keys were removed, expected 0")
    return {"keys_done": done, "insert_over_sequential": elapsed / done / sequential_per_key}


def print_floor(result):
    print(f"floor: time per operation of quillmap / its serialization floor; {result['keys']:,} keys, "
          f"best of {result['repeats']} interleaved repeats  [target <= 1.3]")
    names = {"int": "int 0..N-1", "shifted": "int k<<16", "str": "str key-<i>"}
    print(f"  {'keys':<13}{'operation':<10}{'map ns/op':>11}{'floor ns/op':>13}{'map/floor':>11}")
    for kind, operations in result["rows"].items():
        for operation, row in operations.items():
            print(f"  {names[kind]:<13}{operation:<10}{row['map_ns']:>11,.0f}{row['floor_ns']:>13,.0f}"
                  f"{row['ratio']:>11.2f}{'' if row['ratio'] <= 1.3 else '  over'}")
    shifted, pilot = result["shifted_over_sequential"], result["shifted_pilot"]
    if shifted is not None:
        print("  k<<16 / sequential (map time per op)  [target <= 1.2]:  "
              + "  ".join(f"{operation} {ratio:.2f}" for operation, ratio in shifted.items()))
    else:
        print(f"  k<<16 / sequential (map time per op)  [target <= 1.2]:  insert over {pilot['insert_over_sequential']:.1f}"
              f"  (gave up after {pilot['keys_done']:,} of {result['keys']:,} keys, past {SHIFTED_LIMIT:.0f}x;"
              f" not run further)")
    if result["expansion_while_timed"]:
        print("  NOTE: the map expanded while timed; the figures include a doubling")


# ---------------------------------------------------------------------------------------------
# scaling


def _scaling_child(name, index, parts, count, barrier, results):
    try:
        from corvana.quillmap import quillmap

        # The child builds its own part: touching objects inherited through fork would copy
        # their pages on write inside the timed phases.
        start, stop = index * count // parts, (index + 1) * count // parts
        workload = Workload("int", start, stop, seed=SEED + index)
        q = quillmap(name) if name else None
        times = {}
        for operation in OPERATIONS:
            barrier.wait(BARRIER_TIMEOUT_SECONDS)
            started = time.perf_counter()  # CLOCK_MONOTONIC: comparable between processes
            if q is None:
                workload.run_floor(operation)
            else:
                workload.run_map(q, operation)
            times[operation] = (started, time.perf_counter())
            if q is not None:
                workload.check(q, operation)
        if q is not None:
            q.close()
        results.put(("ok", times))
    except BaseException:
        barrier.abort()
        results.put(("error", traceback.format_exc()))


def parallel_run(count, parts, with_map):
    """Seconds per operation of `parts` forked processes on disjoint parts of the N keys, from the
    first process's start to the last one's end."""
    import multiprocessing

    context = multiprocessing.get_context("fork")
    q = sized_map(count) if with_map else None
    children = []
    try:
        barrier = context.Barrier(parts)
        results = context.Queue()
        gc.collect()
        gc.freeze()
        children = [context.Process(target=_scaling_child,
                                    args=(q.name if q else None, index, parts, count, barrier, results))
                    for index in range(parts)]
        for child in children:
            child.start()
        reports = collect_reports(children, results)
        errors = [detail for status, detail in reports if status != "ok"]
        if errors:
            errors.sort(key=lambda detail: "BrokenBarrierError" in detail)
            raise RuntimeError("a child failed:\n" + "\n".join(errors))
        for child in children:
            child.join()
        if q is not None and len(q) != 0:
            raise AssertionError(f"len(q) is {len(q)} after every child removed its keys, expected 0")
        return {operation: max(times[operation][1] for _, times in reports)
                - min(times[operation][0] for _, times in reports) for operation in OPERATIONS}
    finally:
        for child in children:
            if child.is_alive():
                child.kill()
                child.join()
        if q is not None:
            q.close()
            q.unlink()


def section_scaling(arguments):
    count, repeats, processes = arguments.keys, arguments.repeats, arguments.processes
    best = {(contender, parts): {operation: math.inf for operation in OPERATIONS}
            for contender in ("map", "floor") for parts in (1, processes)}
    for _ in range(repeats):
        for parts in (1, processes):
            for contender in ("map", "floor"):
                seconds = parallel_run(count, parts, contender == "map")
                for operation in OPERATIONS:
                    best[contender, parts][operation] = min(best[contender, parts][operation], seconds[operation])
    rows = {}
    for operation in OPERATIONS:
        row = {}
        for contender in ("map", "floor"):
            one, many = best[contender, 1][operation], best[contender, processes][operation]
            row[contender] = {"one_seconds": one, "parallel_seconds": many, "speedup": one / many}
        row["ratio"] = row["map"]["speedup"] / row["floor"]["speedup"]
        rows[operation] = row
    return {"keys": count, "repeats": repeats, "processes": processes, "rows": rows}


def print_scaling(result):
    processes = result["processes"]
    print(f"scaling: {processes} processes on disjoint parts of {result['keys']:,} int keys against 1 process "
          f"doing all; best of {result['repeats']} interleaved repeats  [target: ratio >= 0.9]")
    print(f"  {'operation':<10}{'map 1p s':>10}{f'map {processes}p s':>10}{'map speedup':>13}"
          f"{'floor speedup':>15}{'ratio':>8}")
    for operation, row in result["rows"].items():
        print(f"  {operation:<10}{row['map']['one_seconds']:>10.3f}{row['map']['parallel_seconds']:>10.3f}"
              f"{row['map']['speedup']:>13.2f}{row['floor']['speedup']:>15.2f}{row['ratio']:>8.2f}"
              f"{'' if row['ratio'] >= 0.9 else '  under'}")


# ---------------------------------------------------------------------------------------------
# create


def create_trial():
    """In a fresh interpreter whose imports are done: one default map's creation and first insert."""
    from corvana.quillmap import quillmap

    value = make_values(0, 1)[0]
    gc.collect()
    before = resident_bytes()
    started = time.perf_counter()
    q = quillmap()
    created = time.perf_counter()
    try:
        after_create = resident_bytes()
        allocated_create = file_footprint([q.name])[1]
        started_insert = time.perf_counter()
        q[0] = value
        inserted = time.perf_counter()
        after_insert = resident_bytes()
        allocated_insert = file_footprint([q.name])[1]
        if q[0] != value:
            raise AssertionError(f"the first entry reads {q[0]!r}, expected {value!r}")
    finally:
        q.close()
        q.unlink()
    return {"create_ms": (created - started) * 1e3, "rss_create_bytes": after_create - before,
            "allocated_create_bytes": allocated_create,
            "first_insert_ms": (inserted - started_insert) * 1e3, "rss_insert_bytes": after_insert - before,
            "allocated_insert_bytes": allocated_insert}


def section_create(arguments):
    trials = [run_child("create-trial", arguments) for _ in range(max(5, arguments.repeats))]
    failed = [trial for trial in trials if "error" in trial]
    if failed:
        return failed[0]
    best = {figure: min(trial[figure] for trial in trials) for figure in trials[0]}
    return {"trials": len(trials), "best": best, "each": trials}


def print_create(result):
    best = result["best"]
    print(f"create: quillmap() with default parameters, best of {result['trials']} fresh interpreters  "
          f"[target < 5 ms, < 2 MiB]")
    print(f"  creation       {best['create_ms']:>9.2f} ms   resident memory added {best['rss_create_bytes'] / MIB:>8.2f} MiB"
          f"   file allocated {best['allocated_create_bytes'] / MIB:>8.2f} MiB")
    print(f"  first insert   {best['first_insert_ms']:>9.3f} ms   resident memory added {best['rss_insert_bytes'] / MIB:>8.2f} MiB"
          f"   file allocated {best['allocated_insert_bytes'] / MIB:>8.2f} MiB   (since before creation)")


# ---------------------------------------------------------------------------------------------
# memory


def memory_trial(count, variant):
    """In a fresh interpreter: the footprint of N small entries in one map."""
    from corvana.quillmap import quillmap

    keys = make_keys("int", 0, count)
    values = make_values(0, count)
    data = sum(len(pickle.dumps(key)) + len(pickle.dumps(value)) for key, value in zip(keys, values))
    gc.collect()
    before = resident_bytes()
    size = max(650_000_000, count * 1024)
    if variant == "default":
        q = quillmap(size=size)
    else:
        q = quillmap(size=size, bucket_chunk_size_exponent=10, bucket_chunk_number=chunks_for(count))
    try:
        allocated_empty = file_footprint([q.name])[1]
        chunks = q.bucket_chunk_in_use
        map_insert(q, keys, values)
        if len(q) != count:
            raise AssertionError(f"len(q) is {len(q)} after {count} inserts")
        check_entries(q, keys, values, "insert")
        allocated = file_footprint([q.name])[1]
        growth = resident_bytes() - before
        buckets = q.bucket_chunk_in_use * (2 ** (20 if variant == "default" else 10))
        chunks_after = q.bucket_chunk_in_use
    finally:
        q.close()
        q.unlink()
    allowance = 1.5 * data + 64 * count
    return {"variant": variant, "entries": count, "data_bytes": data, "allowance_bytes": allowance,
            "allocated_bytes": allocated, "allocated_empty_bytes": allocated_empty, "rss_growth_bytes": growth,
            "buckets": buckets, "bucket_chunks_before": chunks, "bucket_chunks_after": chunks_after,
            "ratio": allocated / allowance}


def section_memory(arguments):
    variants = {}
    for variant in ("default", "grown"):
        variants[variant] = run_child("memory-trial", arguments, "--variant", variant)
        if "error" in variants[variant]:
            return variants[variant]
    return {"keys": arguments.keys, "variants": variants}


def print_memory(result):
    print(f"memory: {result['keys']:,} int keys with small dict values; ratio = allocated / (1.5 * data + 64 * N)"
          f"  [target <= 1.0]")
    print(f"  {'map':<9}{'buckets':>10}{'data MiB':>10}{'1.5d+64N':>10}{'allocated':>11}{'of which empty':>16}"
          f"{'RSS growth':>12}{'B/entry':>9}{'ratio':>7}")
    for variant, row in result["variants"].items():
        print(f"  {variant:<9}{row['buckets']:>10,}{row['data_bytes'] / MIB:>10.1f}{row['allowance_bytes'] / MIB:>10.1f}"
              f"{row['allocated_bytes'] / MIB:>11.1f}{row['allocated_empty_bytes'] / MIB:>16.1f}"
              f"{row['rss_growth_bytes'] / MIB:>12.1f}{row['allocated_bytes'] / row['entries']:>9.1f}"
              f"{row['ratio']:>7.2f}{'' if row['ratio'] <= 1.0 else '  over'}")
    print("  (MiB; data = sum of len(pickle.dumps(k)) + len(pickle.dumps(v)); allocated = st_blocks * 512)")


# ---------------------------------------------------------------------------------------------
# ticker


class Ticker:
    """A thread that sleeps 1 ms in a loop and records the gaps between its wakeups."""

    def __init__(self):
        self.wakeups = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        now, sleep, wakeups, stopping = time.perf_counter, time.sleep, self.wakeups, self.stopping
        while not stopping.is_set():
            sleep(0.001)
            wakeups.append(now())

    def __enter__(self):
        self.thread.start()
        time.sleep(0.05)
        return self

    def __exit__(self, *_exception):
        self.stopping.set()
        self.thread.join()

    def gaps(self, start, stop):
        """The gaps between wakeups that ended within [start, stop]."""
        return [later - earlier for earlier, later in zip(self.wakeups, self.wakeups[1:]) if start <= later <= stop]


def gap_figures(gaps):
    ordered = sorted(gaps)
    if not ordered:
        return {"wakeups": 0, "worst_ms": math.nan, "p99_ms": math.nan}
    return {"wakeups": len(ordered), "worst_ms": ordered[-1] * 1e3,
            "p99_ms": ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))] * 1e3}


def ticked(run):
    """Runs `run` beside a ticker; returns the gaps' figures and what `run` returned."""
    with Ticker() as ticker:
        start = time.perf_counter()
        outcome = run()
        stop = time.perf_counter()
    figures = gap_figures(ticker.gaps(start, stop))
    figures["seconds"] = stop - start
    return figures, outcome


def insert_times(operation, keys, values):
    """Calls operation(key, value) for each pair; returns the longest call's seconds and the calls
    that took over 1 ms."""
    now = time.perf_counter
    longest = 0.0
    slow = 0
    for key, value in zip(keys, values):
        started = now()
        operation(key, value)
        took = now() - started
        if took > longest:
            longest = took
        if took > 1e-3:
            slow += 1
    return longest, slow


def grown_from_small(keys, values, insert_all):
    """Inserts every key into a new map of 2^10 buckets per chunk, with room for as many chunks as
    the keys need at two per bucket, through insert_all(q.__setitem__); checks every entry. Returns
    what insert_all returned and the number of doublings."""
    from corvana.quillmap import quillmap

    count = len(keys)
    q = quillmap(size=max(1024 * MIB, count * 2048), bucket_chunk_size_exponent=10,
                 bucket_chunk_number=chunks_for(count))
    try:
        chunks = q.bucket_chunk_in_use
        result = insert_all(q.__setitem__)
        if len(q) != count:
            raise AssertionError(f"len(q) is {len(q)} after {count} inserts")
        check_entries(q, keys, values, "insert")
        return result, round(math.log2(q.bucket_chunk_in_use / chunks))
    finally:
        q.close()
        q.unlink()


def section_ticker(arguments):
    count, repeats = arguments.keys, arguments.repeats
    keys, values = make_keys("int", 0, count), make_values(0, count)
    gc.collect()
    gc.freeze()
    dumps = pickle.dumps

    def pickle_pair(key, value):
        dumps(key)
        dumps(value)

    runs = []
    for _ in range(repeats):
        baseline, longest_dumps = ticked(lambda: insert_times(pickle_pair, keys, values)[0])
        (figures, longest_insert), doublings = grown_from_small(
            keys, values, lambda insert: ticked(lambda: insert_times(insert, keys, values)[0]))
        figures.update(longest_insert_ms=longest_insert * 1e3, doublings=doublings,
                       worst_gap_over_longest_insert=figures["worst_ms"] / (longest_insert * 1e3))
        baseline["longest_call_ms"] = longest_dumps * 1e3
        runs.append({"map": figures, "baseline": baseline})
    best = min(runs, key=lambda run: run["map"]["worst_gap_over_longest_insert"])
    return {"keys": count, "repeats": repeats, "switch_interval_ms": sys.getswitchinterval() * 1e3,
            "best": best, "runs": runs}


def print_ticker(result):
    print(f"ticker: a 1 ms sleeper thread beside {result['keys']:,} inserts into a map that starts with 2^10 "
          f"buckets; the repeat with the lowest worst gap / longest insert of {result['repeats']}  "
          f"[target: worst gap far below the longest insert]")
    print(f"  {'main thread runs':<20}{'seconds':>9}{'wakeups':>9}{'worst gap ms':>14}{'p99 gap ms':>12}"
          f"{'longest call ms':>17}{'doublings':>11}")
    best = result["best"]
    for label, row, longest in (("q[k] = v", best["map"], best["map"]["longest_insert_ms"]),
                                ("pickle.dumps only", best["baseline"], best["baseline"]["longest_call_ms"])):
        print(f"  {label:<20}{row['seconds']:>9.2f}{row['wakeups']:>9,}{row['worst_ms']:>14.2f}{row['p99_ms']:>12.2f}"
              f"{longest:>17.2f}{row.get('doublings', ''):>11}")
    print(f"  worst gap / longest insert: {best['map']['worst_gap_over_longest_insert']:.2f}   "
          f"(switch interval {result['switch_interval_ms']:.1f} ms)")


# ---------------------------------------------------------------------------------------------
# growth and doubling


def section_growth(arguments):
    count, repeats = arguments.keys, arguments.repeats
    keys, values = make_keys("int", 0, count), make_values(0, count)
    gc.collect()
    gc.freeze()
    runs = []
    for _ in range(repeats):
        plain = {}
        dict_longest, dict_slow = insert_times(plain.__setitem__, keys, values)
        del plain
        (map_longest, map_slow), doublings = grown_from_small(
            keys, values, lambda insert: insert_times(insert, keys, values))
        runs.append({"map_longest_ms": map_longest * 1e3, "map_over_1ms": map_slow,
                     "dict_longest_ms": dict_longest * 1e3, "dict_over_1ms": dict_slow,
                     "doublings": doublings, "ratio": map_longest / dict_longest})
    return {"keys": count, "repeats": repeats, "best": min(runs, key=lambda run: run["ratio"]), "runs": runs}


def print_growth(result):
    best = result["best"]
    print(f"growth: {result['keys']:,} inserts into a map that starts with 2^10 buckets, and into a dict; "
          f"the best ratio of {result['repeats']}  [target: longest map insert <= 2.0 x longest dict insert]")
    print(f"  {'':<10}{'longest insert ms':>19}{'inserts over 1 ms':>19}")
    print(f"  {'map':<10}{best['map_longest_ms']:>19.2f}{best['map_over_1ms']:>19,}   ({best['doublings']} doublings)")
    print(f"  {'dict':<10}{best['dict_longest_ms']:>19.2f}{best['dict_over_1ms']:>19,}")
    print(f"  ratio {best['ratio']:.2f}{'' if best['ratio'] <= 2.0 else '  over'}")


def doubling_worker(name, count, gets, phase, alone, during, during_seconds):
    """In a forked process: batches of 100 operations on random existing keys, alone for 0.5 s,
    then while phase is 2 (another process doubles the map)."""
    from corvana.quillmap import quillmap

    q = quillmap(name)
    generator = random.Random(SEED)
    value = make_updates(0, 1)[0]

    def batch():
        first = generator.randrange(count - 100)
        if gets:
            for key in range(first, first + 100):
                q[key]
        else:
            for key in range(first, first + 100):
                q[key] = value

    started = time.perf_counter()
    done = 0
    while time.perf_counter() - started < 0.5:
        batch()
        done += 100
    alone.value = done / (time.perf_counter() - started)
    phase.value = 1
    while phase.value < 2:
        time.sleep(0)
    started = time.perf_counter()
    done = 0
    while phase.value == 2:
        batch()
        done += 100
    during_seconds.value = time.perf_counter() - started
    during.value = done / during_seconds.value
    q.close()


def doubling_helper(name, phase):
    from corvana.quillmap import dict_expansion

    phase.value = 2
    dict_expansion(name, 2)
    phase.value = 3


def doubling_trial(count, gets):
    """One map of `count` entries, at two per bucket in one chunk; returns the worker's rates."""
    import multiprocessing

    from corvana.quillmap import quillmap

    context = multiprocessing.get_context("fork")
    exponent = max(1, math.ceil(math.log2(max(count, 4))) - 1)
    q = quillmap(size=max(1024 * MIB, count * 4096), bucket_chunk_size_exponent=exponent, bucket_chunk_number=4)
    try:
        values = make_values(0, count)
        for key in range(count):
            q[key] = values[key]
        if q.bucket_chunk_in_use != 1:
            raise AssertionError("the map doubled while it was filled")
        phase = context.Value("i", 0)
        alone, during, seconds = (context.Value("d", 0.0) for _ in range(3))
        worker = context.Process(target=doubling_worker, args=(q.name, count, gets, phase, alone, during, seconds))
        worker.start()
        while phase.value < 1 and worker.is_alive():
            time.sleep(0.001)
        helper = context.Process(target=doubling_helper, args=(q.name, phase))
        helper.start()
        helper.join()
        worker.join()
        if worker.exitcode != 0 or helper.exitcode != 0 or q.bucket_chunk_in_use != 2:
            raise AssertionError("the doubling or the worker failed")
        update = make_updates(0, 1)[0]
        for key in sample(count):
            if q.lookup(key, "<absent>") not in (values[key], update):
                raise AssertionError(f"after the doubling, key {key} reads {q.lookup(key, '<absent>')!r}")
        if len(q) != count:
            raise AssertionError(f"len(q) is {len(q)} after the doubling, expected {count}")
        return {"alone": alone.value, "during": during.value, "during_seconds": seconds.value,
                "kept": during.value / alone.value}
    finally:
        q.close()
        q.unlink()


def section_doubling(arguments):
    runs = {"inserts": [], "gets": []}
    for _ in range(arguments.repeats):
        for kind in runs:
            runs[kind].append(doubling_trial(arguments.keys, kind == "gets"))
    return {"keys": arguments.keys, "repeats": arguments.repeats,
            "best": {kind: max(trials, key=lambda trial: trial["kept"]) for kind, trials in runs.items()},
            "runs": runs}


def print_doubling(result):
    print(f"doubling: one process's operations on a map of {result['keys']:,} entries, alone and while another "
          f"process doubles it; the best of {result['repeats']}  [target: inserts keep >= 30%]")
    print(f"  {'':<10}{'alone ops/s':>14}{'during ops/s':>14}{'doubling s':>12}{'kept':>8}")
    for kind, row in result["best"].items():
        print(f"  {kind:<10}{row['alone']:>14,.0f}{row['during']:>14,.0f}{row['during_seconds']:>12.3f}"
              f"{row['kept']:>8.0%}{'  under' if kind == 'inserts' and row['kept'] < 0.3 else ''}")


# ---------------------------------------------------------------------------------------------
# Running the sections, each in a fresh interpreter


def run_child(role, arguments, *extra):
    """Runs one section (or trial) in a new interpreter; returns its JSON result, or an error
    result with the end of its standard error."""
    command = [sys.executable, os.path.abspath(__file__), "--child", role, "--keys", str(arguments.keys),
               "--repeats", str(arguments.repeats), "--processes", str(arguments.processes), *extra]
    try:
        completed = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   timeout=arguments.section_timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"{role} timed out after {arguments.section_timeout} s"}
    lines = completed.stdout.strip().splitlines()
    try:
        return json.loads(lines[-1])
    except (IndexError, json.JSONDecodeError):
        tail = [line[:300] for line in completed.stderr.strip().splitlines()[-30:]]
        return {"error": f"{role} failed with exit status {completed.returncode}", "stderr_tail": tail}


def run_in_child(arguments):
    """The child's side: runs the role and prints its result as the last line of standard output."""
    try:
        if arguments.child == "create-trial":
            result = create_trial()
        elif arguments.child == "memory-trial":
            result = memory_trial(arguments.keys, arguments.variant)
        else:
            result = globals()[f"section_{arguments.child}"](arguments)
    except Exception as error:
        traceback.print_exc()
        lines = str(error).strip().splitlines()
        result = {"error": f"{type(error).__name__}: {lines[-1] if lines else ''}"[:500],
                  "traceback": traceback.format_exc().splitlines()[-12:]}
    sys.stdout.write("\n" + json.dumps(result) + "\n")


PRINTERS = {"floor": print_floor, "scaling": print_scaling, "create": print_create, "memory": print_memory,
            "ticker": print_ticker, "growth": print_growth, "doubling": print_doubling}


def exit_on_terminate(signal_number, _frame):
    sys.exit(128 + signal_number)  # SystemExit runs the finally blocks that unlink the maps


def main(argv=None):
    signal.signal(signal.SIGTERM, exit_on_terminate)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=1_000_000, help="N, the number of keys (default 1,000,000)")
    parser.add_argument("--repeats", type=int, default=3, help="repeats; each figure is the best (default 3)")
    parser.add_argument("--processes", type=int, default=2, help="P of the scaling section (default 2)")
    parser.add_argument("--only", default=",".join(SECTIONS), help=f"sections to run, from {','.join(SECTIONS)}")
    parser.add_argument("--json", action="store_true", help="print every figure as one JSON object")
    parser.add_argument("--section-timeout", type=int, default=SECTION_TIMEOUT_SECONDS, help=argparse.SUPPRESS)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--variant", default="default", help=argparse.SUPPRESS)
    arguments = parser.parse_args(argv)
    if arguments.child:
        run_in_child(arguments)
        return 0
    sections = [section.strip() for section in arguments.only.split(",") if section.strip()]
    unknown = [section for section in sections if section not in SECTIONS]
    if unknown or not sections:
        parser.error(f"unknown sections {unknown}; known: {','.join(SECTIONS)}")
    if arguments.keys < 2 * arguments.processes or arguments.repeats < 1 or arguments.processes < 2:
        parser.error("--keys must be at least 2 per process, --repeats at least 1, --processes at least 2")

    # Every map of the run lives here, so that none outlives the run, even a crashed section's.
    directory = tempfile.mkdtemp(prefix="targets-bench-")
    os.environ["TMPDIR"] = directory
    results = {}
    failed = False
    try:
        for section in sections:
            sys.stderr.write(f"{section:<8} ")
            sys.stderr.flush()
            started = time.monotonic()
            results[section] = run_child(section, arguments)
            results[section]["elapsed_seconds"] = time.monotonic() - started
            error = results[section].get("error")
            failed = failed or error is not None
            sys.stderr.write(f"{results[section]['elapsed_seconds']:6.1f} s" + (f"  ERROR: {error}" if error else "") + "\n")
    finally:
        leftovers = os.listdir(directory)
        if leftovers:
            sys.stderr.write(f"removing maps a section left behind: {leftovers}\n")
        shutil.rmtree(directory, ignore_errors=True)

    if arguments.json:
        print(json.dumps(results))
        return 1 if failed else 0
    for section, result in results.items():
        print()
        if "error" in result:
            print(f"{section}: ERROR {result['error']}")
            for line in result.get("traceback", result.get("stderr_tail", [])):
                print(f"    {line}")
            continue
        PRINTERS[section](result)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
