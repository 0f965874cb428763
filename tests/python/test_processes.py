"""Several processes on one map: opening by name, concurrent inserts and removes verified entry by
entry, and keys of every type the serializers take found across processes whose own hashes differ
(salted str and bytes hashes, identity hashes of objects)."""
import gc
import multiprocessing
import os
import random

import pytest

from corvana.quillmap import quillmap

from conftest import run_processes, run_python

DEADLINE_SECONDS = 120


def test_a_second_process_opens_the_map_by_name(new_map):
    q = new_map()
    q.insert("from parent", [1, 2])
    out = run_python(f"""
        from corvana.quillmap import quillmap
        q = quillmap({q.name!r})
        print(q.get("from parent"))
        q.insert("from child", {{"x": 1}})
        print(q.remove("from parent"))
    """)
    assert out.splitlines() == ["[True, [1, 2]]", "1"]
    assert q.get("from child") == [True, {"x": 1}]
    assert q.get("from parent") == [False]


KEYS = ("[('tuple', 1, None, 2.5, b'b'), 'str', '\\u00fcn\\u00efc\\u00f6d\\u00e9', '\\U0001F600', '\\udc80', "
        "b'bytes', None, 3, -1, 2 ** 80, 2.5, float('nan'), True, ('nested', ('t', 'u')), ()]")


def test_keys_are_found_across_processes_with_different_hash_seeds(new_map):
    q = new_map()
    run_python(f"""
        from corvana.quillmap import quillmap
        q = quillmap({q.name!r})
        for i, key in enumerate({KEYS}):
            q.insert(key, i)
    """, env={"PYTHONHASHSEED": "1"})
    out = run_python(f"""
        from corvana.quillmap import quillmap
        q = quillmap({q.name!r})
        print([q.get(key) for key in {KEYS}])
    """, env={"PYTHONHASHSEED": "2"})
    expected = [[True, i] for i in range(len(eval(KEYS)))]
    assert out.strip() == str(expected)
    assert [q.get(key) for key in eval(KEYS)] == expected


# Keys of every kind each serializer takes, built alike in every process by a module on the path:
# salted hashes (str, bytes, str subclasses, frozensets of str), identity hashes (a user class
# without __hash__, Enum members before 3.12 ...), and types no built-in hash special-cases.
KEY_TYPES = """
import dataclasses, datetime, decimal, enum, fractions, uuid

class Colour(enum.Enum):
    RED = 1
    GREEN = "g"

class Name(str):
    pass

class Point:  # hashed by identity: each process gives an equal point another hash
    def __init__(self, x, y):
        self.x, self.y = x, y

@dataclasses.dataclass(frozen=True)
class Pair:
    left: str
    right: int

when = datetime.datetime(2026, 12, 10, 11, 45, 12, 500)
scalars = ["str", "\u00fcn\u00efc\u00f6d\u00e9", "\U0001F600", "", 0, 3, -1, 2 ** 40, 2.5, -0.0, True, False,
           None, (), ("tuple", 1, None, 2.5), ("nested", ("t", "u"))]
KEYS = {
    "pickle": scalars + [b"bytes", 2 ** 80, float("nan"), Name("sub"), Point(1, 2), Colour.RED, Colour.GREEN,
                         when, when.date(), datetime.timedelta(days=3), decimal.Decimal("1.25"),
                         fractions.Fraction(1, 3), uuid.UUID(int=5), 1 + 2j, frozenset({1, 2, 3}),
                         Pair("a", 1), (Name("in"), Colour.RED, b"b"), int, range(4)],
    "orjson": scalars + [Name("sub"), Colour.RED, when, when.date(), uuid.UUID(int=5), Pair("a", 1)],
    "msgpack": scalars + [b"bytes", Name("sub")],
    "json": scalars + [Name("sub")],
    "msgspec": scalars + [Colour.RED, when, when.date(), uuid.UUID(int=5), Pair("a", 1),
                          decimal.Decimal("1.25"), frozenset({7})],
}
"""


@pytest.mark.parametrize("serializer", ["pickle", "orjson", "msgpack", "msgspec", "json"])
def test_keys_of_every_type_are_found_across_processes(new_map, tmp_path, serializer):
    pytest.importorskip(serializer)  # json is always there
    (tmp_path / "key_types.py").write_text(KEY_TYPES)
    q = new_map(serializer=serializer)
    program = f"""
        import sys
        from corvana.quillmap import quillmap
        from key_types import KEYS
        q = quillmap({q.name!r}, serializer={serializer!r})
        keys = KEYS[{serializer!r}]
        if sys.argv[1:] == ["write"]:
            for i, key in enumerate(keys):
                q[key] = i
        else:
            print(sum(q.lookup(key) == i for i, key in enumerate(keys)), len(keys), len(q))
            for i, key in enumerate(keys):
                q[key] = -i
    """
    env = {"PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])}
    run_python(program.replace("sys.argv[1:]", "['write']"), env={**env, "PYTHONHASHSEED": "1"})
    found, count, length = map(int, run_python(program, env={**env, "PYTHONHASHSEED": "2"}).split())
    assert found == count == length, "a key stored by one process was missed, or stored twice, by another"
    assert len(q) == count


def _worker(name, worker, start, keys_per_worker, shared_keys):
    shared = quillmap(name)  # its own map object; the one inherited through fork is never used
    start.wait()
    own = range(worker * keys_per_worker, (worker + 1) * keys_per_worker)
    for key in own:
        shared.insert(key, ("own", worker, key))
        shared.insert(-1 - key % shared_keys, ("shared", worker))
    for key in own[::3]:
        assert shared.remove(key) == 1
    for key in own:
        expected = [False] if (key - own.start) % 3 == 0 else [True, ("own", worker, key)]
        assert shared.get(key) == expected


@pytest.mark.parametrize("workers", [4])
def test_processes_insert_and_remove_at_once(new_map, workers):
    keys_per_worker, shared_keys = 1500, 50
    q = new_map()
    context = multiprocessing.get_context("fork")
    start = context.Barrier(workers)
    processes = [context.Process(target=_worker, args=(q.name, w, start, keys_per_worker, shared_keys))
                 for w in range(workers)]
    run_processes(processes, DEADLINE_SECONDS)

    for worker in range(workers):
        for key in range(worker * keys_per_worker, (worker + 1) * keys_per_worker):
            expected = [False] if key % keys_per_worker % 3 == 0 else [True, ("own", worker, key)]
            assert q.get(key) == expected
    for key in range(shared_keys):
        found, (kind, writer) = q.get(-1 - key)
        assert found and kind == "shared" and 0 <= writer < workers
    removed_per_worker = len(range(0, keys_per_worker, 3))
    assert q.element_count == workers * (keys_per_worker - removed_per_worker) + shared_keys
    assert q.bucket_chunk_in_use >= 8  # 16 buckets per chunk: growth kept pace with the entries


def test_threads_share_one_instance(new_map):
    import threading

    q = new_map()
    errors = []

    def work(offset):
        try:
            rng = random.Random(offset)
            for i in range(2000):
                key = offset + rng.randrange(500)
                q.insert(key, key * 2)
                assert q.get(key) == [True, key * 2]
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n * 1000,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE_SECONDS)
    assert not errors and not any(thread.is_alive() for thread in threads)


def test_a_forked_child_reopens_inherited_instances_and_leaves_the_parents_objects_alone(new_map):
    q = new_map()
    q.insert("before fork", 1)
    gc.disable()
    try:
        garbage = new_map()
        for i in range(300):  # fills this process's chunk caches for that map
            garbage.insert(i, i)
        garbage.me = garbage  # cyclic garbage that only the child's collector will see
        garbage_name = garbage.name
        del garbage
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                gc.collect()
                if q.get("before fork") == [True, 1] and q.insert("from child", 2) == 1:
                    code = 0
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
    finally:
        gc.enable()
    assert os.waitstatus_to_exitcode(status) == 0
    assert q.get("from child") == [True, 2]
    gc.collect()  # the parent now destroys its own map object of the garbage, caches included
    survivor = quillmap(garbage_name)
    assert all(survivor.get(i) == [True, i] for i in range(300))
    for i in range(300, 1300):
        survivor.insert(i, i)
    assert survivor.element_count == 1300
