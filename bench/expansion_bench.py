"""Time of one quillmap.expansion() call beside the same doubling done in this process alone and
done by a standard multiprocessing pool of as many workers, for each start method.

    python bench/expansion_bench.py [--keys 200000] [--workers 2] [--repeats 3] [--json]

Each row fills maps alike and doubles one with dict_expansion() in this process (the baseline: the
doubling's own work, no process started), one with dict_expansion tasks on a multiprocessing.Pool
(close and join: what a pool costs) and one with expansion(workers); it gives the best time of each
over the repeats, and each one's ratio to the baseline. Not a test: nothing here asserts a time.
"""
import argparse
import json
import multiprocessing
import os
import time

import corvana.quillmap as qm


def filled_map(keys):
    shared = qm.quillmap(size=512 * 1024 * 1024, bucket_chunk_size_exponent=12, bucket_chunk_number=1 << 12)
    key = 0
    while key < keys or shared.bucket_chunk_in_use & (shared.bucket_chunk_in_use - 1):
        shared[key] = key
        key += 1
    return shared


def timed(keys, double):
    shared = filled_map(keys)
    try:
        chunks = shared.bucket_chunk_in_use
        start = time.perf_counter()
        double(shared, chunks)
        seconds = time.perf_counter() - start
        assert shared.bucket_chunk_in_use == 2 * chunks
        return seconds
    finally:
        shared.unlink()


def pooled(method, workers):
    def double(shared, chunks):
        pool = multiprocessing.get_context(method).Pool(workers)
        for _ in range(workers):
            pool.apply_async(qm.dict_expansion, (shared.name, 2 * chunks))
        pool.close()
        pool.join()
    return double


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=200_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", action="store_true")
    arguments = parser.parse_args()
    rows = []
    for method in multiprocessing.get_all_start_methods():
        qm.multiprocessing = multiprocessing.get_context(method)  # what expansion() starts its workers with
        alone = min(timed(arguments.keys, lambda shared, chunks: qm.dict_expansion(shared.name, 2 * chunks))
                    for _ in range(arguments.repeats))
        pool = min(timed(arguments.keys, pooled(method, arguments.workers)) for _ in range(arguments.repeats))
        driven = min(timed(arguments.keys, lambda shared, chunks: shared.expansion(arguments.workers))
                     for _ in range(arguments.repeats))
        rows.append({"method": method, "in_process_s": alone, "pool_s": pool, "expansion_s": driven,
                     "pool_ratio": pool / alone, "expansion_ratio": driven / alone})
    if arguments.json:
        print(json.dumps(rows))
        return
    print(f"{arguments.keys} keys, expansion({arguments.workers}), best of {arguments.repeats}, {os.cpu_count()} CPUs")
    print(f"{'method':<12}{'in process':>12}{'pool':>18}{'expansion()':>18}")
    for row in rows:
        pool = f"{row['pool_s']:.3f}s ({row['pool_ratio']:.1f})"
        driven = f"{row['expansion_s']:.3f}s ({row['expansion_ratio']:.1f})"
        print(f"{row['method']:<12}{row['in_process_s']:>11.3f}s{pool:>18}{driven:>18}")


if __name__ == "__main__":
    main()
