"""The dict protocol of quillmap beside its list API, measured in one run on one map:

    python bench/dict_protocol_bench.py [--entries 1000000] [--repeats 3]

- q[k] = v, q[k] and del q[k] against insert, get and remove on the same keys;
- misses against hits: q[k] raising KeyError, q.lookup(k) and q.get(k) for absent keys, against
  q[k] for present ones (a miss should cost no more than a hit);
- len(q) (a sum of per-process counters: O(1), the same at any size);
- a full walk of items() over every entry against one get per entry.

Times are the best of the repeats, in nanoseconds per operation; ratios are dict protocol / list
API (and items() walk / gets). Not a test: nothing here asserts a time.
"""
import argparse
import os
import time

from corvana.quillmap import quillmap


def best_time(run, repeats, setup=None):
    best = float("inf")
    for _ in range(repeats):
        if setup is not None:
            setup()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    arguments = parser.parse_args()
    count, repeats = arguments.entries, arguments.repeats
    keys = list(range(count))

    with quillmap(size=1 << 30, bucket_chunk_size_exponent=20) as q:
        try:
            def insert_all():
                insert = q.insert
                for key in keys:
                    insert(key, key)

            def setitem_all():
                for key in keys:
                    q[key] = key

            def get_all():
                get = q.get
                for key in keys:
                    get(key)

            def getitem_all():
                for key in keys:
                    q[key]

            def remove_all():
                remove = q.remove
                for key in keys:
                    remove(key)

            def delitem_all():
                for key in keys:
                    del q[key]

            absent = list(range(count, 2 * count))

            def getitem_misses():
                for key in absent:
                    try:
                        q[key]
                    except KeyError:
                        pass

            def lookup_misses():
                lookup = q.lookup
                for key in absent:
                    lookup(key)

            def get_misses():
                get = q.get
                for key in absent:
                    get(key)

            def walk_items():
                for _ in q.items():
                    pass

            def len_many():
                for _ in range(count):
                    len(q)

            rows = []
            # Replacing: both write every key again into a full map.
            insert_all()
            rows.append(("write  insert(k, v)  vs  q[k] = v", best_time(insert_all, repeats),
                         best_time(setitem_all, repeats)))
            rows.append(("read   get(k)        vs  q[k]", best_time(get_all, repeats),
                         best_time(getitem_all, repeats)))
            rows.append(("remove remove(k)     vs  del q[k]", best_time(remove_all, repeats, insert_all),
                         best_time(delitem_all, repeats, insert_all)))
            insert_all()
            assert len(q) == count
            hits = best_time(getitem_all, repeats)
            misses = [(label, best_time(run, repeats)) for label, run in (
                ("miss   q[k] (KeyError) vs hit q[k]", getitem_misses),
                ("miss   lookup(k)       vs hit q[k]", lookup_misses),
                ("miss   get(k)          vs hit q[k]", get_misses))]
            gets = best_time(get_all, repeats)
            walk = best_time(walk_items, repeats)
            length = best_time(len_many, repeats)

            print(f"{count} entries, best of {repeats}; ns per operation")
            print(f"{'':36} {'list API':>10} {'dict':>10} {'ratio':>7}")
            for label, list_api, dict_api in rows:
                print(f"{label:36} {list_api / count * 1e9:10.0f} {dict_api / count * 1e9:10.0f} "
                      f"{dict_api / list_api:7.2f}")
            for label, miss in misses:
                print(f"{label:36} {hits / count * 1e9:10.0f} {miss / count * 1e9:10.0f} {miss / hits:7.2f}")
            print(f"{'items() walk vs one get per entry':36} {gets / count * 1e9:10.0f} "
                  f"{walk / count * 1e9:10.0f} {walk / gets:7.2f}")
            print(f"{'len(q)':36} {'':10} {length / count * 1e9:10.0f}")
        finally:
            q.unlink()


if __name__ == "__main__":
    main()
