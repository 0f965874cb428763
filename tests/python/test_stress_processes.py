"""Several processes insert, get and remove at once on a small map that keeps expanding by itself
while the parallel expansion driver runs beside them; afterwards every entry is verified."""
import multiprocessing
import os
import random
import time

import pytest

from conftest import gather_reports
from corvana.quillmap import quillmap

SECONDS = float(os.environ.get("CORVANA_STRESS_SECONDS", "4"))
STABLE_KEYS = 300  # present for the whole run: a get must never miss them
HOT_KEYS = 16      # written by every worker, never removed


def _worker(name, worker_id, seed, seconds, results):
    try:
        shared = quillmap(name)
        rng = random.Random(seed * 1000 + worker_id)
        written = {}  # this worker's own keys -> the last value it wrote
        sequence = 0
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            roll = rng.random()
            key = ("own", worker_id, rng.randrange(1500))
            if roll < 0.45:
                sequence += 1
                value = {"writer": worker_id, "sequence": sequence, "pad": "x" * rng.randrange(60)}
                assert shared.insert(key, value) == 1
                written[key] = value
            elif roll < 0.6:
                expected = [True, written[key]] if key in written else [False]
                assert shared.get(key) == expected, key
            elif roll < 0.75:
                assert shared.remove(key) == (1 if key in written else 0), key
                written.pop(key, None)
            elif roll < 0.9:
                stable = rng.randrange(STABLE_KEYS)
                assert shared.get(("stable", stable)) == [True, stable * 7], stable
            else:
                sequence += 1
                shared.insert(("hot", rng.randrange(HOT_KEYS)), (worker_id, sequence))
        results.put((worker_id, written, None))
    except BaseException as error:  # reported to the parent, which fails the test
        results.put((worker_id, None, repr(error)))


@pytest.mark.parametrize("workers", [3])
def test_processes_share_a_map_that_expands_under_them(workers):
    seed = int(os.environ.get("CORVANA_STRESS_SEED", random.randrange(1 << 30)))
    print("seed", seed)
    # The table has room for many doublings, so the driver's doubling is never refused for want of it.
    shared = quillmap(size=256 * 1024 * 1024, bucket_chunk_size_exponent=2, bucket_chunk_number=4096)
    try:
        for stable in range(STABLE_KEYS):
            shared.insert(("stable", stable), stable * 7)
        context = multiprocessing.get_context("fork")
        results = context.Queue()
        processes = [
            context.Process(target=_worker, args=(shared.name, worker_id, seed, SECONDS, results))
            for worker_id in range(workers)
        ]

        def double_under_the_workers():
            time.sleep(SECONDS / 4)
            assert shared.expansion(2) == 1

        reports = gather_reports(processes, results, SECONDS, double_under_the_workers)

        for _, written, _ in reports:
            for key, value in written.items():
                assert shared.get(key) == [True, value], key
        for worker_id in range(workers):
            written = next(w for i, w, _ in reports if i == worker_id)
            for index in range(1500):
                key = ("own", worker_id, index)
                if key not in written:
                    assert shared.get(key) == [False], key
        for stable in range(STABLE_KEYS):
            assert shared.get(("stable", stable)) == [True, stable * 7]
        for hot in range(HOT_KEYS):
            found = shared.get(("hot", hot))
            assert found[0] and found[1][0] in range(workers)
    finally:
        os.unlink(shared.name)
