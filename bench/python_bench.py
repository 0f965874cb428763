"""Throughput of quillmap's insert, get, replace and remove from Python, measured in one run beside
the serialization floor (what pickling alone costs per operation) and a plain dict.

    python bench/python_bench.py [--keys 100000] [--repeats 5] [--key-kind int] [--json]

Each figure is the best of the repeats, in operations per second. The ratio column is the time of
an operation divided by the time of its serialization floor: for get, pickle.dumps(key) plus
pickle.loads(value); for insert and replace, pickle.dumps(key) plus pickle.dumps(value); for
remove, pickle.dumps(key). --key-kind picks the keys: int (0, 1, ...), str ("key0", ...), tuple
(("user", i, "k<i>")) or frozenset (frozenset({"t<i>", "u<i>"})). Not a test: nothing here asserts a
time.
"""
import argparse
import os
import pickle
import time

from corvana.quillmap import quillmap


KEY_KINDS = {
    "int": lambda i: i,
    "str": lambda i: f"key{i}",
    "tuple": lambda i: ("user", i, f"k{i}"),
    "frozenset": lambda i: frozenset({f"t{i}", f"u{i}"}),
}


def best_rate(run, count, repeats, setup=None):
    best = float("inf")
    for _ in range(repeats):
        if setup is not None:
            setup()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return count / best


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--key-kind", choices=sorted(KEY_KINDS), default="int")
    parser.add_argument("--json", action="store_true", help="print the figures as one JSON object")
    arguments = parser.parse_args()
    count, repeats = arguments.keys, arguments.repeats

    keys = [KEY_KINDS[arguments.key_kind](i) for i in range(count)]
    values = [{"id": i, "name": "item", "score": i * 0.5} for i in range(count)]
    replacements = [{"id": i, "name": "replaced", "score": -1.0} for i in range(count)]
    value_bytes = [pickle.dumps(value) for value in values]
    dumps, loads = pickle.dumps, pickle.loads

    def floor_insert():
        for key, value in zip(keys, values):
            dumps(key)
            dumps(value)

    def floor_get():
        for key, data in zip(keys, value_bytes):
            dumps(key)
            loads(data)

    def floor_remove():
        for key in keys:
            dumps(key)

    # 2^17 buckets: 100,000 keys fit without an expansion during the runs.
    shared = quillmap(size=512 * 1024 * 1024, bucket_chunk_size_exponent=17, bucket_chunk_number=64)
    plain = {}
    try:
        insert, get, remove = shared.insert, shared.get, shared.remove

        def map_insert():
            for key, value in zip(keys, values):
                insert(key, value)

        def map_replace():
            for key, value in zip(keys, replacements):
                insert(key, value)

        def map_get():
            for key in keys:
                get(key)

        def map_remove():
            for key in keys:
                remove(key)

        def dict_insert():
            for key, value in zip(keys, values):
                plain[key] = value

        def dict_replace():
            for key, value in zip(keys, replacements):
                plain[key] = value

        def dict_get():
            for key in keys:
                plain.get(key)

        def dict_remove():
            for key in keys:
                plain.pop(key, None)

        rows = []
        floors = {
            "insert": best_rate(floor_insert, count, repeats),
            "get": best_rate(floor_get, count, repeats),
            "remove": best_rate(floor_remove, count, repeats),
        }
        floors["replace"] = floors["insert"]
        rates = {
            "insert": best_rate(map_insert, count, repeats, setup=map_remove),
            "replace": best_rate(map_replace, count, repeats, setup=map_insert),
            "get": best_rate(map_get, count, repeats),
            "remove": best_rate(map_remove, count, repeats, setup=map_insert),
        }
        dict_rates = {
            "insert": best_rate(dict_insert, count, repeats, setup=plain.clear),
            "replace": best_rate(dict_replace, count, repeats, setup=dict_insert),
            "get": best_rate(dict_get, count, repeats),
            "remove": best_rate(dict_remove, count, repeats, setup=dict_insert),
        }
        assert shared.get(keys[0]) == [False] and shared.element_count == 0
        for operation in ("insert", "get", "replace", "remove"):
            rows.append((operation, rates[operation], floors[operation], dict_rates[operation],
                         floors[operation] / rates[operation]))
    finally:
        os.unlink(shared.name)

    if arguments.json:
        import json
        print(json.dumps({operation: {"rate": rate, "floor": floor, "dict": dict_rate}
                          for operation, rate, floor, dict_rate, _ in rows}))
        return
    print(f"{count} {arguments.key_kind} keys, small dict values, pickle; best of {repeats}")
    print(f"{'operation':<10}{'quillmap ops/s':>16}{'floor ops/s':>14}{'dict ops/s':>14}{'time / floor':>14}")
    for operation, rate, floor, dict_rate, ratio in rows:
        print(f"{operation:<10}{rate:>16,.0f}{floor:>14,.0f}{dict_rate:>14,.0f}{ratio:>14.2f}")


if __name__ == "__main__":
    main()
