"""The atomic read-modify-write methods and the walk from several processes at once: exact counters,
one setdefault winner, walks that stay exact while other processes expand the map, and the
lifecycle of a shared map (close, unlink) across processes."""
import multiprocessing
import os

import pytest

from corvana.quillmap import quillmap
from conftest import run_processes

DEADLINE_SECONDS = 120
CONTEXT = multiprocessing.get_context("fork")


def run_workers(target, args_per_worker):
    """Runs one process per argument tuple, bounded by DEADLINE_SECONDS."""
    run_processes([CONTEXT.Process(target=target, args=args) for args in args_per_worker], DEADLINE_SECONDS)


def _count(name, serializer, start, increments):
    q = quillmap(name, serializer=serializer)
    start.wait()
    for _ in range(increments):
        q.add("counter")
    q.close()


@pytest.mark.parametrize("serializer", ["pickle", "msgpack"])
def test_processes_adding_to_one_key_lose_no_update(new_map, serializer):
    pytest.importorskip(serializer)
    workers, increments = 4, 10_000
    q = new_map(serializer=serializer)
    start = CONTEXT.Barrier(workers)
    run_workers(_count, [(q.name, serializer, start, increments)] * workers)
    assert q["counter"] == workers * increments
    assert q.get("counter") == [True, workers * increments]


def _claim(name, worker, start, results):
    q = quillmap(name)
    start.wait()
    results.put([q.setdefault(("slot", slot), ("winner", worker)) for slot in range(300)])


def test_concurrent_setdefaults_all_return_the_one_stored_winner(new_map):
    workers = 4
    q = new_map()
    start = CONTEXT.Barrier(workers)
    results = CONTEXT.Queue()
    run_workers(_claim, [(q.name, worker, start, results) for worker in range(workers)])
    seen = [results.get(timeout=DEADLINE_SECONDS) for _ in range(workers)]
    for slot in range(300):
        stored = q[("slot", slot)]
        assert all(result[slot] == stored for result in seen)
    assert len(q) == 300


def _insert_many(name, worker, start):
    q = quillmap(name)
    start.wait()
    for i in range(3000):
        q[("extra", worker, i)] = i


def _walk_repeatedly(name, start, stable_count, rounds):
    q = quillmap(name)
    start.wait()
    for _ in range(rounds):
        keys = list(q.keys())
        assert len(keys) == len(set(keys)), "a key returned twice"
        stable = [key for key in keys if isinstance(key, int)]
        assert sorted(stable) == list(range(stable_count)), "a stable key missing"
        items = dict(q.items())
        assert all(items[key] == key * 3 for key in range(stable_count))


def test_walks_in_several_processes_stay_exact_while_others_expand_the_map(new_map):
    stable_count, inserters, walkers = 300, 2, 2
    q = new_map(bucket_chunk_size_exponent=3)
    for key in range(stable_count):
        q[key] = key * 3
    chunks_before = q.bucket_chunk_in_use
    start = CONTEXT.Barrier(inserters + walkers)
    processes = ([(_insert_many, (q.name, worker, start)) for worker in range(inserters)] +
                 [(_walk_repeatedly, (q.name, start, stable_count, 15)) for _ in range(walkers)])
    run_processes([CONTEXT.Process(target=target, args=args) for target, args in processes], DEADLINE_SECONDS)
    assert q.bucket_chunk_in_use > chunks_before
    assert len(list(q.items())) == len(q) == stable_count + inserters * 3000


def test_unlink_after_the_workers_opened_the_map_leaves_no_file(new_map, tmp_path):
    q = new_map()
    q["job"] = "start"
    opened, go = CONTEXT.Event(), CONTEXT.Event()

    def worker(name):
        with quillmap(name) as mine:
            opened.set()
            go.wait(DEADLINE_SECONDS)
            mine.add("done")

    process = CONTEXT.Process(target=worker, args=(q.name,))
    process.start()
    assert opened.wait(DEADLINE_SECONDS)
    q.unlink()  # the worker has it open: it keeps working
    assert not os.path.exists(q.name)
    go.set()
    process.join(DEADLINE_SECONDS)
    assert process.exitcode == 0
    assert q["done"] == 1
    q.close()


def test_closing_in_a_forked_child_leaves_the_parents_instance_working(new_map):
    q = new_map()
    q["k"] = 1

    def child():
        q.close()
        with pytest.raises(RuntimeError):
            q["k"]

    process = CONTEXT.Process(target=child)
    process.start()
    process.join(DEADLINE_SECONDS)
    assert process.exitcode == 0
    q["k"] = 2
    assert q["k"] == 2 and list(q.items()) == [("k", 2)]
