"""The parallel expansion driver: expansion() doubles the bucket chunks on worker processes,
dict_expansion() is the workers' task, and a failing worker becomes one RuntimeError."""
import os

import pytest

import corvana.quillmap as qm
from corvana.quillmap import quillmap


def filled(new_map, count=150):
    q = new_map()
    for i in range(count):
        q.insert(i, {"i": i})
    return q


def assert_all_found(q, count=150):
    assert all(q.get(i) == [True, {"i": i}] for i in range(count))
    assert q.element_count == count


def test_one_worker_doubles_the_map(new_map):
    q = filled(new_map)
    before = q.bucket_chunk_in_use
    assert q.expansion(1) == 1
    assert q.bucket_chunk_in_use == 2 * before
    assert_all_found(q)
    reopened = quillmap(q.name)
    assert reopened.bucket_chunk_in_use == 2 * before
    assert_all_found(reopened)


def test_successive_calls_double_twice_and_the_default_uses_every_cpu(new_map):
    q = filled(new_map)
    before = q.bucket_chunk_in_use
    assert q.expansion(parallelism=2) == 1
    assert q.expansion() == 1  # os.cpu_count() workers, every one given the same target
    assert q.bucket_chunk_in_use == 4 * before
    assert_all_found(q)


def test_dict_expansion_with_a_reached_target_opens_and_closes(new_map):
    q = filled(new_map)
    before = q.bucket_chunk_in_use
    assert qm.dict_expansion(q.name, before) == 1
    assert qm.dict_expansion(name=q.name, target_length=0) == 1
    assert q.bucket_chunk_in_use == before
    assert qm.dict_expansion(q.name, 2 * before) == 1  # the calling process expands it alone
    assert q.bucket_chunk_in_use == 2 * before
    assert_all_found(q)


@pytest.mark.parametrize("call, error, text", [
    (lambda: qm.dict_expansion("name", 2), TypeError, "Argument 'name' has incorrect type (expected bytes, got str)"),
    (lambda: qm.dict_expansion("name", -1), OverflowError, "can't convert negative value to size_t"),
    (lambda: qm.dict_expansion(b"x", "2"), TypeError, "an integer is required"),
    (lambda: qm.dict_expansion(None, 2), TypeError, "expected bytes, NoneType found"),
    (lambda: qm.dict_expansion(b""), TypeError, "dict_expansion() takes exactly 2 positional arguments (1 given)"),
])
def test_dict_expansion_refusals(call, error, text):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == text
    assert "corvana.quillmap.dict_expansion" in [entry.name for entry in caught.traceback]


def test_dict_expansion_refuses_an_empty_name_instead_of_creating_a_map():
    with pytest.raises(ValueError, match="name of an existing map"):
        qm.dict_expansion(b"", 2)


def test_expansion_argument_errors(new_map):
    q = new_map()
    with pytest.raises(TypeError) as caught:
        q.expansion(1, 2)
    assert str(caught.value) == "expansion() takes at most 1 positional argument (2 given)"
    with pytest.raises(OverflowError, match="^can't convert negative value to size_t$"):
        q.expansion(-1)
    assert q.bucket_chunk_in_use == 1


def test_a_failing_worker_becomes_one_runtime_error(new_map):
    q = filled(new_map)
    before = q.bucket_chunk_in_use
    os.unlink(q.name)  # the workers cannot open the map any more; this process keeps its mapping
    with pytest.raises(RuntimeError) as caught:
        q.expansion(2)
    # The text holds the list of the first failure's repr (the exception a worker raised).
    assert str(caught.value) == ("Subprocess finished with error"
                                 "[MemoryFileNotFoundError('file status wrong with errno: 2')]")
    assert "corvana.quillmap.quillmap.expansion" in [entry.name for entry in caught.traceback]
    assert q.bucket_chunk_in_use == before
    assert_all_found(q)


@pytest.fixture
def forked_workers(monkeypatch):
    """expansion() starts its workers with the fork method, so that a task patched here reaches them."""
    import multiprocessing

    monkeypatch.setattr(qm, "multiprocessing", multiprocessing.get_context("fork"))


def test_a_failure_the_worker_cannot_send_still_fails_the_call(new_map, forked_workers, monkeypatch):
    import threading

    q = filled(new_map)

    def task(name, target_length):
        raise ValueError(threading.Lock())  # does not pickle

    monkeypatch.setattr(qm, "dict_expansion", task)
    with pytest.raises(RuntimeError, match=r"^Subprocess finished with error\[TypeError\(.*pickle"):
        q.expansion(2)


def test_workers_that_end_without_an_outcome_leave_the_doubling_to_the_caller(new_map, forked_workers,
                                                                              monkeypatch):
    q = filled(new_map)
    before = q.bucket_chunk_in_use
    monkeypatch.setattr(qm, "dict_expansion", lambda name, target_length: os._exit(3))
    assert q.expansion(2) == 1
    assert q.bucket_chunk_in_use == 2 * before
    assert_all_found(q)


def test_other_threads_run_while_an_insert_doubles_the_map(new_map):
    import threading
    import time

    q = new_map(size=256 * 1024 * 1024, bucket_chunk_size_exponent=15, bucket_chunk_number=4)
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        longest, key = (0.0, 0.0), 0
        while q.bucket_chunk_in_use == 1:  # the insert after 2 entries per bucket doubles the map
            start = time.perf_counter()
            q[key] = key
            end = time.perf_counter()
            if end - start > longest[1] - longest[0]:
                longest = (start, end)
            key += 1
    finally:
        stop.set()
        thread.join()
    during = [tick for tick in ticks if longest[0] < tick < longest[1]]
    assert longest[1] - longest[0] > 0.004, "the doubling was too short to tell"
    assert len(during) >= 2, f"the ticker stalled for the whole {longest[1] - longest[0]:.3f} s doubling"
    assert all(q[k] == k for k in range(key))
