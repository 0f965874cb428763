"""Several worker processes build one shared word index of the Python standard library's sources.

    pip install . && python examples/word_index.py [--workers 2] [--files 0] [--corpus DIR]
    pip install ".[redis]" && python examples/word_index.py --store redis://localhost:6379/0

The parent creates a small shared dict, a SharedDict on a memory file (the default) or, with
--store URL, a RedisDict on that Redis server, and hands it to the workers (it pickles by name).
Each worker reads its share of the source files and, for every word of a file, adds the word's count
in that file to its own tally in the map, key (word, worker id): a get followed by a store. No two
workers ever write the same key, so no other process can change a tally between its get and its
store, and no update is lost. Each worker also stores one record per file, ("#file", path) ->
{lines, words, distinct}, its progress, the list of its words and its statistics, under keys that
start with "#", which no word does. While they work the parent draws a progress bar from
their progress entries and, on a memory file, runs one explicit expansion (doubling the buckets)
beside the expansions that their inserts start by themselves. So that the expansion meets them
however small the corpus, each worker waits, a third of the way through its files, until the parent
has opened the gate entry ("#gate",) that it writes just before the expansion starts (on Redis,
which grows its hash by itself, the gate is open from the start).

Afterwards the parent merges the workers' tallies into word totals, read from the map alone, and
checks them, every file record and the number of entries against the same index computed in this
single process. It prints what happened and OK, or an error and exits with status 1. The map (the
memory file, or the Redis hash) is removed at the end.
"""
import argparse
import collections
import multiprocessing
import os
import pathlib
import re
import sys
import sysconfig
import time

from corvana import RedisDict, SharedDict

WORD = re.compile(r"[a-z_][a-z0-9_]*")
PROGRESS_INTERVAL_SECONDS = 0.1
DEADLINE_SECONDS = 300


def words_of(text):
    return WORD.findall(text.lower())


def read(path):
    return path.read_text(encoding="utf-8", errors="replace")


def file_record(text, words, counts):
    return {"lines": text.count("\n") + 1, "words": len(words), "distinct": len(counts)}


def gate_of(share):
    """The number of files after which a worker with this share waits for the expansion."""
    return len(share) // 3


def wait_for_gate(shared):
    """Waits until the parent has written the gate entry; returns the seconds waited."""
    started = time.perf_counter()
    while shared.get(("#gate",)) is None:
        if time.perf_counter() - started > DEADLINE_SECONDS:
            raise TimeoutError("the parent never opened the gate")
        time.sleep(0.005)
    return time.perf_counter() - started


def worker(shared, worker_id, root, paths):
    """Indexes `paths` (relative to `root`) into the shared dict `shared` (a SharedDict or a
    RedisDict, which reached this process pickled: by its name, or its URL and name)."""
    get, insert = shared.get, shared.__setitem__
    started = time.perf_counter()
    waited = 0.0
    insert(("#progress", worker_id), 0)
    operations = 1
    own_words = set()
    if gate_of(paths) == 0:
        waited += wait_for_gate(shared)
    for done, relative in enumerate(paths, 1):
        text = read(pathlib.Path(root, relative))
        words = words_of(text)
        counts = collections.Counter(words)
        for word, count in counts.items():
            key = (word, worker_id)  # written by this worker only: get-then-store loses nothing
            found = get(key)
            insert(key, count if found is None else found + count)
        own_words.update(counts)
        insert(("#file", relative), file_record(text, words, counts))
        insert(("#progress", worker_id), done)
        operations += 2 * len(counts) + 2
        if done == gate_of(paths):
            waited += wait_for_gate(shared)
    insert(("#words", worker_id), sorted(own_words))
    seconds = time.perf_counter() - started - waited
    insert(("#stats", worker_id), {"files": len(paths), "operations": operations + 2, "seconds": seconds})


def corpus_files(root, limit):
    """The .py files under `root`, without installed third-party packages, as sorted relative paths."""
    root = pathlib.Path(root)
    paths = sorted(str(path.relative_to(root)) for path in root.rglob("*.py")
                   if "site-packages" not in path.parts and path.is_file())
    return paths[:limit] if limit else paths


def single_process_index(root, paths):
    totals = collections.Counter()
    records = {}
    for relative in paths:
        text = read(pathlib.Path(root, relative))
        words = words_of(text)
        counts = collections.Counter(words)
        totals.update(counts)
        records[relative] = file_record(text, words, counts)
    return totals, records


class Progress:
    """A plain-text progress bar on standard error: redrawn in place on a terminal, otherwise one
    line at each quarter so that logs stay readable."""

    def __init__(self, total):
        self.total = max(total, 1)
        self.interactive = sys.stderr.isatty()
        self.quarters_shown = 0

    def show(self, done, per_worker, note=""):
        fraction = done / self.total
        bar = "#" * int(30 * fraction) + "." * (30 - int(30 * fraction))
        workers = " ".join(f"w{worker_id}:{count}" for worker_id, count in enumerate(per_worker))
        line = f"[{bar}] {100 * fraction:5.1f}% {done}/{self.total} files  {workers}{note}"
        if self.interactive:
            sys.stderr.write("\r" + line + "\033[K")
            sys.stderr.flush()
        elif int(4 * fraction) > self.quarters_shown or note:
            self.quarters_shown = int(4 * fraction)
            sys.stderr.write(line + "\n")

    def close(self):
        if self.interactive:
            sys.stderr.write("\n")


def run_workers(shared, root, paths, workers, progress):
    """Starts the workers, draws their progress and, on a memory file, runs one expansion while they work.
    Returns (expansion report or None, workers' exit codes)."""
    context = multiprocessing.get_context("spawn")  # a fresh interpreter: only the pickled map is passed
    shares = [paths[worker_id::workers] for worker_id in range(workers)]
    if not isinstance(shared, SharedDict):
        shared[("#gate",)] = True  # Redis grows its hash by itself: no expansion to wait for
    processes = [context.Process(target=worker, args=(shared, worker_id, root, share), daemon=True)
                 for worker_id, share in enumerate(shares)]
    for process in processes:
        process.start()
    expansion = None
    deadline = time.monotonic() + DEADLINE_SECONDS
    try:
        while any(process.is_alive() for process in processes):
            if any(process.exitcode not in (None, 0) for process in processes):
                break  # a worker failed: the others are stopped below
            if time.monotonic() > deadline:
                raise TimeoutError(f"the workers did not finish within {DEADLINE_SECONDS} s")
            per_worker = [progress_of(shared, worker_id) for worker_id in range(workers)]
            done = sum(per_worker)
            if (expansion is None and isinstance(shared, SharedDict)
                    and all(count >= gate_of(share) for count, share in zip(per_worker, shares))):
                before = shared.bucket_chunk_in_use
                progress.show(done, per_worker, f"  expansion({workers}) from {before} bucket chunks...")
                shared[("#gate",)] = True  # the workers go on while the expansion runs
                started = time.perf_counter()
                shared.expansion(workers)  # worker processes of its own double the buckets beside ours
                expansion = (before, shared.bucket_chunk_in_use, time.perf_counter() - started,
                             sum(process.is_alive() for process in processes))
            progress.show(done, per_worker)
            time.sleep(PROGRESS_INTERVAL_SECONDS)
        progress.show(sum(progress_of(shared, w) for w in range(workers)),
                      [progress_of(shared, w) for w in range(workers)])
    finally:
        progress.close()
        for process in processes:
            if process.is_alive():
                process.terminate()
            process.join()
    return expansion, [process.exitcode for process in processes]


def progress_of(shared, worker_id):
    return shared.get(("#progress", worker_id), 0)


def merged_totals(shared, workers):
    """Word totals read from the map alone: each worker's word list names its tallies."""
    totals = collections.Counter()
    for worker_id in range(workers):
        words = shared.get(("#words", worker_id))  # None when absent
        if words is None:
            raise LookupError(f"worker {worker_id} left no word list")
        for word in words:
            tally = shared.get((word, worker_id))
            if tally is None:
                raise LookupError(f"the tally of {word!r} by worker {worker_id} is missing")
            totals[word] += tally
    return totals


def verify(shared, workers, paths, expected_totals, expected_records, totals):
    """The differences between the shared index and the single-process one, as readable lines."""
    problems = []
    if totals != expected_totals:
        wrong = sorted(set(totals) ^ set(expected_totals)
                       | {word for word in totals if totals[word] != expected_totals.get(word)})
        problems.append(f"{len(wrong)} word totals differ, for instance "
                        + ", ".join(f"{word!r}: {totals.get(word)} != {expected_totals.get(word)}"
                                    for word in wrong[:5]))
    for relative in paths:
        found = shared.get(("#file", relative))
        if found != expected_records[relative]:
            problems.append(f"file record of {relative}: {found} != {expected_records[relative]}")
            break
    # One tally per (word, worker) pair, one record per file, progress, words and stats per worker,
    # and the gate.
    tallies = sum(len(shared.get(("#words", worker_id))) for worker_id in range(workers))
    expected_entries = tallies + len(paths) + 3 * workers + 1
    if len(shared) != expected_entries:
        problems.append(f"the map holds {len(shared)} entries, {expected_entries} expected")
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workers", type=int, default=max(2, min(os.cpu_count() or 2, 8)),
                        help="worker processes (default: the number of processors, 2 to 8)")
    parser.add_argument("--files", type=int, default=0, help="index only the first FILES files (default: all)")
    parser.add_argument("--corpus", default=sysconfig.get_paths()["stdlib"],
                        help="directory whose .py files are indexed (default: the standard library)")
    parser.add_argument("--bucket-chunk-size-exponent", type=int, default=12,
                        help="2**E buckets per bucket chunk (default 12: a small map that must grow)")
    parser.add_argument("--store", default="memory",
                        help="where the map lives: 'memory' (a memory file, the default) or the URL of a Redis "
                             "server (redis://host:6379/0, rediss://..., unix:///path/redis.sock)")
    arguments = parser.parse_args(argv)
    if arguments.workers < 1:
        parser.error("--workers must be at least 1")
    if arguments.store != "memory" and not arguments.store.startswith(("redis://", "rediss://", "unix://")):
        parser.error("--store must be 'memory' or a redis://, rediss:// or unix:// URL")
    paths = corpus_files(arguments.corpus, arguments.files)
    if not paths:
        parser.error(f"no .py files under {arguments.corpus}")

    print(f"corpus: {len(paths)} Python files under {arguments.corpus}")
    started = time.perf_counter()
    try:
        shared = open_store(arguments.store, arguments.bucket_chunk_size_exponent)
    except (OSError, RuntimeError, ImportError, ValueError) as error:  # say, a Redis server out of reach
        print(f"ERROR: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    try:
        created_seconds = time.perf_counter() - started
        on_file = isinstance(shared, SharedDict)
        if on_file:
            chunks_at_start = shared.bucket_chunk_in_use
            print(f"map: {shared.name} ({created_seconds * 1000:.0f} ms to create, "
                  f"{chunks_at_start} bucket chunk of {2 ** arguments.bucket_chunk_size_exponent} buckets)")
        else:
            print(f"map: {shared.name} on the Redis server at {arguments.store} "
                  f"({created_seconds * 1000:.0f} ms to connect)")
        print(f"{arguments.workers} worker processes index their share of the files into the map...", flush=True)
        work_started = time.perf_counter()
        expansion, exit_codes = run_workers(shared, arguments.corpus, paths, arguments.workers,
                                            Progress(len(paths)))
        work_seconds = time.perf_counter() - work_started
        if any(code != 0 for code in exit_codes):
            print(f"ERROR: worker exit codes {exit_codes}; the index is incomplete", file=sys.stderr)
            return 1

        totals = merged_totals(shared, arguments.workers)
        print(f"workers done in {work_seconds:.2f} s; verifying against a single-process index...", flush=True)
        expected_totals, expected_records = single_process_index(arguments.corpus, paths)
        problems = verify(shared, arguments.workers, paths, expected_totals, expected_records, totals)

        print(f"entries: {len(shared)} ({len(totals)} distinct words, {sum(totals.values())} words in all)")
        if on_file:
            print(f"growth: bucket chunks {chunks_at_start} at creation -> {shared.bucket_chunk_in_use} at the end")
        if expansion is not None:
            before, after, seconds, alive = expansion
            print(f"expansion({arguments.workers}): bucket chunks {before} -> {after} in {seconds:.2f} s, "
                  f"with {alive} of {arguments.workers} workers still inserting")
        for worker_id in range(arguments.workers):
            stats = shared.get(("#stats", worker_id))
            print(f"worker {worker_id}: {stats['files']} files, {stats['operations']} map operations in "
                  f"{stats['seconds']:.2f} s of work: {stats['operations'] / max(stats['seconds'], 1e-9):,.0f} operations/s")
        print("most frequent words:", ", ".join(f"{word} {count}" for word, count in totals.most_common(8)))
        if problems:
            for problem in problems:
                print("ERROR:", problem, file=sys.stderr)
            return 1
        if on_file and expansion is None:
            print("ERROR: no expansion ran while the workers worked", file=sys.stderr)
            return 1
        print("OK: the shared index equals the single-process index")
        return 0
    except Exception as error:  # any failure ends the demo with a clear error and status 1
        print(f"ERROR: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    finally:
        remove_store(shared)


def open_store(store, bucket_chunk_size_exponent):
    """A new shared dict: on a memory file ("memory"), or in a new hash on the Redis server at the URL."""
    if store == "memory":
        return SharedDict(size=256 * 1024 * 1024, bucket_chunk_size_exponent=bucket_chunk_size_exponent,
                          bucket_chunk_number=1024)
    return RedisDict(store)  # a new hash of a unique name


def remove_store(shared):
    """Removes the map: a memory file outlives every process, and a Redis hash the server's restarts."""
    try:
        if isinstance(shared, SharedDict):
            os.unlink(shared.name)
        else:
            shared.clear()
    finally:
        shared.close()


if __name__ == "__main__":
    sys.exit(main())
