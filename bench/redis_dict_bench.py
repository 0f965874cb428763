"""SharedDict against RedisDict: what moving the shared dict from a memory file to a Redis server
costs, operation by operation, measured side by side in one run.

    pip install ".[redis]" && python bench/redis_dict_bench.py [--keys 5000] [--rounds 5] [--url URL]

Both maps run the dict-protocol workload of shared_dict_bench.py (int keys, pickle) in one process,
alternating round by round, and the best round of each is kept. The Redis server is one the
benchmark starts on a unix socket in a temporary directory, without persistence (Debian's
redis-server must be installed), unless --url names a server of yours, where the benchmark uses a
new hash and removes it afterwards. Prints, per operation, the ns per call of each and the ratio of
throughputs SharedDict / RedisDict: how many operations SharedDict does in the time RedisDict does one.
"""
import argparse
import os
import tempfile

from compare_stores import Redis, Skip
from corvana import RedisDict, SharedDict
from shared_dict_bench import DIMENSIONS, best_times, operations


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--url", help="a Redis server of yours (default: one the benchmark starts)")
    arguments = parser.parse_args()
    keys = list(range(arguments.keys))
    server = None
    if arguments.url is None:
        server = Redis()
        try:
            server.check(None, None)
        except Skip as reason:
            parser.exit(2, f"cannot start a Redis server: {reason}\n")
        server.create(tempfile.gettempdir()).close()
    url = arguments.url or f"unix://{server.socket_path}"
    maps = {"SharedDict": SharedDict(**DIMENSIONS), "RedisDict": RedisDict(url)}
    try:
        best = best_times(maps, keys, arguments.rounds)
        print(f"RedisDict on {url}; {len(keys)} int keys, best of {arguments.rounds} rounds")
        print(f"{'operation':<16} {'SharedDict ns':>14} {'RedisDict ns':>13} {'SharedDict / RedisDict':>23}")
        for label, _ in operations(keys):
            shared, redis = best[label, "SharedDict"], best[label, "RedisDict"]
            print(f"{label:<16} {shared:>14.0f} {redis:>13.0f} {redis / shared:>22.1f}x")
    finally:
        os.unlink(maps["SharedDict"].name)
        maps["RedisDict"].unlink()
        maps["RedisDict"].close()
        if server is not None:
            server.destroy()


if __name__ == "__main__":
    main()
