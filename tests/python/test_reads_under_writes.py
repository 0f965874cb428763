"""Gets that read their bucket without its lock, through SharedDict, while writer processes keep
changing the same buckets: reader threads in several processes see only values that were written
for the key they asked for, never one older than what they saw before, and never miss a key that
is always present."""
import multiprocessing
import os
import threading
import time

from conftest import gather_reports
from corvana import SharedDict

SECONDS = float(os.environ.get("CORVANA_STRESS_SECONDS", "2"))
WRITERS = 2
CHURNED_KEYS = 40  # key k is written by writer k % WRITERS only
STABLE_KEYS = 20


def _value(key, writer, sequence):
    # Sizes from a few bytes to past the inline limit, so values move in and out of line.
    return {"key": key, "writer": writer, "sequence": sequence, "pad": "x" * (sequence * 37 % 700)}


def _writer(name, writer, deadline, results):
    try:
        shared = SharedDict(name)
        sequence = 0
        last = {}
        while time.time() < deadline:
            for key in range(writer, CHURNED_KEYS, WRITERS):
                sequence += 1
                if sequence % 7 == 0:
                    shared.pop(key, None)
                    last.pop(key, None)
                else:
                    shared[key] = _value(key, writer, sequence)
                    last[key] = sequence
        results.put(("writer", last, None))
    except BaseException as error:  # reported to the parent, which fails the test
        results.put(("writer", None, repr(error)))


def _read(shared, deadline, failures):
    seen = {}
    while time.time() < deadline and not failures:
        for key in range(CHURNED_KEYS):
            value = shared.get(key)
            if value is None:
                continue
            if (value["key"], value["writer"]) != (key, key % WRITERS) or \
                    value != _value(key, key % WRITERS, value["sequence"]):
                failures.append(f"key {key} read as {value!r}")
            elif value["sequence"] < seen.get(key, 0):
                failures.append(f"key {key} went back from {seen[key]} to {value['sequence']}")
            seen[key] = max(seen.get(key, 0), value["sequence"])
        for key in range(STABLE_KEYS):
            if shared.get(("stable", key)) != key:
                failures.append(f"stable key {key} read as {shared.get(('stable', key))!r}")


def _reader(name, deadline, results):
    try:
        shared = SharedDict(name)
        failures = []
        threads = [threading.Thread(target=_read, args=(shared, deadline, failures)) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        results.put(("reader", None, "; ".join(failures[:3]) or None))
    except BaseException as error:
        results.put(("reader", None, repr(error)))


def test_readers_see_only_written_values_while_writers_change_their_buckets():
    # Eight buckets: every key shares its bucket with several others.
    shared = SharedDict(size=64 * 1024 * 1024, bucket_chunk_size_exponent=3, bucket_chunk_number=1)
    try:
        for key in range(STABLE_KEYS):
            shared[("stable", key)] = key
        context = multiprocessing.get_context("fork")
        results = context.Queue()
        deadline = time.time() + SECONDS + 1
        processes = [context.Process(target=_writer, args=(shared.name, writer, deadline, results))
                     for writer in range(WRITERS)]
        processes += [context.Process(target=_reader, args=(shared.name, deadline, results)) for _ in range(2)]
        reports = gather_reports(processes, results, SECONDS)
        expected = {}
        for kind, last, _ in reports:
            if kind == "writer":
                expected.update({key: _value(key, key % WRITERS, sequence) for key, sequence in last.items()})
        for key in range(CHURNED_KEYS):
            assert shared.get(key) == expected.get(key), key
        assert len(shared) == STABLE_KEYS + len(expected)
    finally:
        shared.close()
        shared.unlink()
