"""Gets through SharedDict by 1 and 2 processes on the same keys, with two builds of corvana side by
side in one run (for instance the code before the optimistic read and after it), in alternating
rounds, so that both see the same machine at the same time. Prints per figure each build's median
and the median of the per-round ratios (candidate / baseline).

    python bench/read_python_compare.py --baseline DIR [--candidate DIR] [--rounds 7] [--seconds 0.5]

DIR is a directory that holds a built `corvana` package (for instance made with
`pip install --target DIR <checkout>`); without --candidate, the installed corvana is the candidate.
Not a test: nothing here asserts a time."""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

SETS = {"hot": 1_000, "large": 400_000}


def worker(name, keys, seconds, offset, ready, go, results):
    from corvana import SharedDict

    shared = SharedDict(name)
    order = [(index * 7919 + offset) % keys for index in range(keys)]
    for key in order:  # the first pass touches every page before the clock starts
        shared[key]
    ready.release()
    go.wait()
    done = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        for key in order[done % keys:done % keys + 500]:
            shared[key]
        done += 500
    results.put(done / (time.perf_counter() - start))
    shared.close()


def measure(seconds):
    """Runs in the interpreter of one build: prints one JSON object of figures."""
    import multiprocessing

    from corvana import SharedDict

    context = multiprocessing.get_context("fork")
    figures = {}
    for set_name, keys in SETS.items():
        shared = SharedDict(size=1024 * keys + (64 << 20), bucket_chunk_size_exponent=max(10, keys.bit_length() - 1))
        for key in range(keys):
            shared[key] = {"id": key, "name": "item"}
        for processes in (1, 2):
            ready, go, results = context.Semaphore(0), context.Event(), context.Queue()
            workers = [context.Process(target=worker, args=(shared.name, keys, seconds, n * 31, ready, go, results))
                       for n in range(processes)]
            for process in workers:
                process.start()
            for _ in workers:
                ready.acquire()
            go.set()
            figures[f"{set_name}-{processes}p"] = sum(results.get() for _ in workers)
            for process in workers:
                process.join()
        shared.close()
        shared.unlink()
    print(json.dumps(figures))


def run_once(package_dir, seconds):
    env = dict(os.environ)
    if package_dir:
        env["PYTHONPATH"] = package_dir + os.pathsep + env.get("PYTHONPATH", "")
    output = subprocess.run([sys.executable, os.path.abspath(__file__), "--measure", "--seconds", str(seconds)],
                            env=env, check=True, capture_output=True, text=True, cwd="/").stdout
    return json.loads(output.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", default="")
    parser.add_argument("--candidate", default="")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=0.5)
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.measure:
        measure(arguments.seconds)
        return
    runs = {"baseline": [], "candidate": []}
    for round_number in range(arguments.rounds):
        order = ["baseline", "candidate"] if round_number % 2 == 0 else ["candidate", "baseline"]
        for build in order:
            directory = arguments.baseline if build == "baseline" else arguments.candidate
            runs[build].append(run_once(directory, arguments.seconds))
    print(f"SharedDict d[k] gets per second (summed over processes), medians of {arguments.rounds} "
          f"alternating rounds")
    print(f"{'figure':<12}{'baseline':>14}{'candidate':>14}{'cand/base':>12}")
    for figure in runs["candidate"][0]:
        baseline = statistics.median(run[figure] for run in runs["baseline"])
        candidate = statistics.median(run[figure] for run in runs["candidate"])
        ratio = statistics.median(ours[figure] / theirs[figure]
                                  for ours, theirs in zip(runs["candidate"], runs["baseline"]))
        print(f"{figure:<12}{baseline:>14,.0f}{candidate:>14,.0f}{ratio:>12.3f}")


if __name__ == "__main__":
    main()
