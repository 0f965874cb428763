"""SharedDict against quillmap, operation by operation, measured side by side in one run.

    python bench/shared_dict_bench.py [--keys 20000] [--rounds 7]

Both open the same kind of map (64 MiB heap, 1024 buckets per chunk, pickle); each operation runs
over every key, alternating between the two classes round by round, and the best round of each is
kept. Prints, per operation, the ns per call of each and the ratio SharedDict / quillmap; the aim
is at most 1.10 for every operation both classes have (get is compared with quillmap.lookup, which
has dict.get's meaning).
"""
import argparse
import gc
import os
import time

from corvana import SharedDict
from corvana.quillmap import quillmap

DIMENSIONS = dict(size=64 * 1024 * 1024, bucket_chunk_size_exponent=10)
# The operations that need every key present before they run.
NEEDS_EVERY_KEY = ("d[k]", "k in d", "get(k, d) hit", "setdefault", "pop + store", "del d[k]")


def operations(keys):
    absent = [-1 - key for key in keys]

    def store(m):
        for key in keys:
            m[key] = key

    def read(m):
        for key in keys:
            m[key]

    def contains(m):
        for key in keys:
            key in m

    def length(m):
        for _ in keys:
            len(m)

    def get_hit(m, get):
        for key in keys:
            get(key, None)

    def get_miss(m, get):
        for key in absent:
            get(key, None)

    def setdefault(m):
        for key in keys:
            m.setdefault(key, 0)

    def add(m):
        for key in keys:
            m.add(("n", key % 64))

    def iterate(m):
        for _ in m.items():
            pass

    def pop_and_store(m):
        for key in keys:
            m[key] = m.pop(key)

    def delete(m):
        for key in keys:
            del m[key]

    return [("d[k] = v", store), ("d[k]", read), ("k in d", contains), ("len(d)", length),
            ("get(k, d) hit", lambda m: get_hit(m, m.lookup if type(m) is quillmap else m.get)),
            ("get(k, d) miss", lambda m: get_miss(m, m.lookup if type(m) is quillmap else m.get)),
            ("setdefault", setdefault), ("add", add), ("items() walk", iterate), ("pop + store", pop_and_store),
            ("del d[k]", delete)]


def best_times(maps, keys, rounds):
    """{(operation, kind): the best ns per call of `rounds` rounds} for each map of `maps` (kind -> map),
    alternating between the maps round by round so that a slow moment of the machine hits each."""
    best = {}
    for label, operation in operations(keys):
        for _ in range(rounds):
            for kind, m in maps.items():
                if label in NEEDS_EVERY_KEY:
                    for key in keys:
                        m[key] = key
                gc.disable()
                start = time.perf_counter_ns()
                operation(m)
                elapsed = time.perf_counter_ns() - start
                gc.enable()
                per_call = elapsed / len(keys)
                best[label, kind] = min(best.get((label, kind), per_call), per_call)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=7)
    arguments = parser.parse_args()
    keys = list(range(arguments.keys))
    maps = {"quillmap": quillmap(**DIMENSIONS), "SharedDict": SharedDict(**DIMENSIONS)}
    try:
        best = best_times(maps, keys, arguments.rounds)
        print(f"{'operation':<16} {'quillmap ns':>12} {'SharedDict ns':>14} {'ratio':>7}")
        for label, _ in operations(keys):
            base, shared = best[label, "quillmap"], best[label, "SharedDict"]
            print(f"{label:<16} {base:>12.0f} {shared:>14.0f} {shared / base:>7.3f}")
    finally:
        for m in maps.values():
            os.unlink(m.name)


if __name__ == "__main__":
    main()
