"""insert, get and remove: results, argument errors, the module functions, key hashing, and the
native entries called through their capsules (the native API table and the native method table)."""
import ctypes
import os
import random
import sys

import pytest

import corvana.quillmap as qm
from corvana.quillmap import quillmap

PyCapsule_GetName = ctypes.pythonapi.PyCapsule_GetName
PyCapsule_GetName.restype = ctypes.c_char_p
PyCapsule_GetName.argtypes = [ctypes.py_object]
PyCapsule_GetPointer = ctypes.pythonapi.PyCapsule_GetPointer
PyCapsule_GetPointer.restype = ctypes.c_void_p
PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

# PYFUNCTYPE: called with the GIL held; a set Python exception is raised after the call.
INSERT = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)
GET = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)
REMOVE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.c_int)
EXPANSION = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int, ctypes.c_void_p)


class ExpansionArguments(ctypes.Structure):
    _fields_ = [("count_given", ctypes.c_int), ("parallelism", ctypes.c_uint64)]


def capsule_address(capsule):
    return PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule))


def method_table():
    capsule = quillmap.__dict__["__native_methods__"]
    assert PyCapsule_GetName(capsule) == b"struct quillmap_methods"
    slots = (ctypes.c_void_p * 4).from_address(capsule_address(capsule))
    return INSERT(slots[0]), GET(slots[1]), REMOVE(slots[2]), EXPANSION(slots[3])


def traceback_names(excinfo):
    return [entry.name for entry in excinfo.traceback]


def test_results(new_map):
    q = new_map()
    assert q.get("absent") == [False]
    assert q.insert("k", [1]) == 1
    assert q.insert("k", {"replaced": True}) == 1
    assert q.get("k") == [True, {"replaced": True}]
    assert q.insert(input_value=2, input_key="kw") == 1 and q.get(input_key="kw") == [True, 2]
    assert q.remove("k") == 1
    assert q.remove("k") == 0
    assert q.get("k") == [False]
    assert q.element_count == 1


def test_module_functions(new_map):
    q = new_map()
    assert qm.dict_insert(q, "a", 1) == 1
    assert qm.dict_get(q, "a") == [True, 1]
    assert qm.dict_get(target=q, input_key="b") == [False]
    assert qm.dict_remove(q, "a") == 1 and qm.dict_remove(q, "a") == 0

    class Sub(quillmap):
        pass

    sub = new_map(cls=Sub)
    assert qm.dict_insert(sub, 1, 2) == 1 and qm.dict_get(sub, 1) == [True, 2]
    for target in (None, 3, "name"):
        with pytest.raises(TypeError) as caught:
            qm.dict_insert(target, 1, 2)
        assert str(caught.value) == ("Argument 'target' has incorrect type (expected corvana.quillmap.quillmap, "
                                     f"got {type(target).__name__})")


@pytest.mark.parametrize("call, text", [
    (lambda q: qm.dict_insert(q, 1), "dict_insert() takes exactly 3 positional arguments (2 given)"),
    (lambda q: qm.dict_get(q), "dict_get() takes exactly 2 positional arguments (1 given)"),
    (lambda q: qm.dict_remove(q, 1, 2), "dict_remove() takes exactly 2 positional arguments (3 given)"),
    (lambda q: q.insert(1), "insert() takes exactly 2 positional arguments (1 given)"),
    (lambda q: q.get(), "get() takes exactly 1 positional argument (0 given)"),
    (lambda q: q.remove(1, 2), "remove() takes exactly 1 positional argument (2 given)"),
    (lambda q: q.get(key=1), "get() got an unexpected keyword argument 'key'"),
    (lambda q: q.insert(1, 2, input_key=1), "insert() got multiple values for keyword argument 'input_key'"),
])
def test_argument_errors(new_map, call, text):
    with pytest.raises(TypeError) as caught:
        call(new_map())
    assert str(caught.value) == text


def test_failures_name_the_function_in_the_traceback(new_map):
    q = new_map()
    with pytest.raises(TypeError) as caught:
        q.get([])
    assert str(caught.value) == "unhashable type: 'list'"
    assert "corvana.quillmap.quillmap.get" in traceback_names(caught)
    with pytest.raises(TypeError) as caught:
        qm.dict_insert(None, 1, 1)
    assert "corvana.quillmap.dict_insert" in traceback_names(caught)


def test_hash_functions(new_map):
    collide = new_map(hash_function=lambda key: 7)
    for i in range(200):
        collide.insert(i, -i)
    assert all(collide.get(i) == [True, -i] for i in range(200))

    def refuse(key):
        raise KeyError("no hash for you")

    refusing = new_map(hash_function=refuse)
    with pytest.raises(KeyError, match="no hash for you"):
        refusing.insert(1, 1)
    big = new_map(hash_function=lambda key: 2 ** 70 + key)
    big.insert(3, "three")
    assert big.get(3) == [True, "three"]
    with pytest.raises(TypeError, match="hash_function must return an int"):
        new_map(hash_function=str).insert(1, 1)


def test_many_keys_of_many_types_grow_the_map(new_map):
    q = new_map()
    rng = random.Random(5)
    expected = {}
    for i in range(3000):
        key = rng.choice([i, str(i), (i, "t"), bytes(str(i), "ascii"), float(i) + 0.5])
        expected[key] = {"i": i}
        q.insert(key, expected[key])
    assert q.bucket_chunk_in_use > 1
    assert q.element_count == len(expected)
    assert all(q.get(key) == [True, value] for key, value in expected.items())
    removed = list(expected)[::2]
    assert all(q.remove(key) == 1 for key in removed)
    assert all(q.get(key) == [False] for key in removed)


def test_operations_and_their_failures_leak_nothing(new_map):
    q = new_map()
    json_map = new_map(serializer="json")  # a set is not JSON: TypeError from json.dumps
    failing_calls = (lambda: q.get([]), lambda: json_map.insert(1, {1}), lambda: qm.dict_get(None, 1),
                     lambda: q.get(), lambda: q.insert(1, 2, 3), lambda: qm.dict_expansion("x", 1))

    def run():
        for i in range(200):
            q.insert(i, {"v": i})
            q.get(i)
            q.get(-1 - i)
            q.remove(i)
            qm.dict_insert(q, "k", "v")
            qm.dict_get(q, "k")
            qm.dict_remove(q, "k")
            for call in failing_calls:
                try:
                    call()
                except TypeError:
                    pass

    run()
    run()
    before = sys.getallocatedblocks()
    for _ in range(5):
        run()
    assert sys.getallocatedblocks() - before < 100


class TestNativeEntries:
    def test_native_api_table(self, new_map):
        table = qm.__native_api__
        assert {name: PyCapsule_GetName(capsule) for name, capsule in table.items()} == {
            "dict_insert": b"int (struct quillmap *, PyObject *, PyObject *, int)",
            "dict_get": b"PyObject *(struct quillmap *, PyObject *, int)",
            "dict_remove": b"int (struct quillmap *, PyObject *, int)",
        }
        insert = INSERT(capsule_address(table["dict_insert"]))
        get = GET(capsule_address(table["dict_get"]))
        remove = REMOVE(capsule_address(table["dict_remove"]))
        q = new_map()
        assert insert(q, "k", {"v": 1}, 0) == 1
        assert get(q, "k", 1) == [True, {"v": 1}]
        assert remove(q, "k", 0) == 1 and remove(q, "k", 0) == 0
        assert get(q, "k", 0) == [False]
        with pytest.raises(TypeError, match="unhashable"):
            insert(q, {}, 1, 0)

    def test_instances_carry_the_method_table(self, new_map):
        q = new_map()
        capsule = quillmap.__dict__["__native_methods__"]
        assert ctypes.c_void_p.from_address(id(q) + 40).value == capsule_address(capsule)

    def test_slots_run_python_overrides_unless_told_to_skip_them(self, new_map):
        calls = []

        class Sub(quillmap):
            def insert(self, key, value):
                calls.append((key, value))
                return 5

            def remove(self, key):
                return True

            def expansion(self, parallelism):
                return parallelism + 1

        insert, get, remove, expansion = method_table()
        q = new_map(cls=Sub)
        assert insert(q, "k", "v", 0) == 5 and calls == [("k", "v")]
        assert insert(q, "k", "native", 1) == 1 and calls == [("k", "v")]
        assert get(q, "k", 0) == [True, "native"]
        assert remove(q, "k", 0) == 1 and get(q, "k", 0) == [True, "native"]
        assert remove(q, "k", 1) == 1 and get(q, "k", 0) == [False]
        assert expansion(q, 0, None) == 1
        assert expansion(q, 0, ctypes.addressof(ExpansionArguments(1, 5))) == 6

    def test_override_results_are_checked(self, new_map):
        class Bad(quillmap):
            def get(self, key):
                return 3

            def insert(self, key, value):
                return "x"

        insert, get, _, _ = method_table()
        q = new_map(cls=Bad)
        with pytest.raises(TypeError, match="^Expected list, got int$"):
            get(q, 1, 0)
        with pytest.raises(TypeError, match="an integer is required"):
            insert(q, 1, 1, 0)

    def test_overrides_added_later_are_seen(self, new_map):
        insert, get, remove, _ = method_table()

        class Sub(quillmap):
            pass

        q = new_map(cls=Sub)
        assert insert(q, 1, "a", 0) == 1 and get(q, 1, 0) == [True, "a"]  # remembered: no override
        q.insert = lambda key, value: 42
        assert insert(q, 1, "b", 0) == 42
        del q.insert
        assert insert(q, 1, "c", 0) == 1
        assert remove(q, 2, 0) == 0
        Sub.remove = lambda self, key: 9
        assert remove(q, 2, 0) == 9
        assert get(q, 1, 0) == [True, "c"]


@pytest.mark.parametrize("value_bytes", [8, 200, 5000])
def test_a_full_map_still_removes_and_takes_entries_again(value_bytes):
    q = quillmap(size=2 * 1024 * 1024, bucket_chunk_size_exponent=4, bucket_chunk_number=4)
    try:
        stored = 0
        with pytest.raises(RuntimeError, match="out of memory"):
            while True:
                q.insert(stored, b"v" * value_bytes)
                stored += 1
        assert stored > 0 and len(q) == stored
        assert q.get(stored) == [False]  # the insert that failed changed nothing
        # Every entry comes out of a full heap, and the room comes back for as many again.
        for round in range(2):
            for key in range(stored):
                assert q.remove(key) == 1, key
            assert len(q) == 0 and list(q.keys()) == []
            if round == 0:
                for key in range(stored):
                    q.insert(key, b"w" * value_bytes)
                assert all(q.get(key) == [True, b"w" * value_bytes] for key in range(stored))
    finally:
        os.unlink(q.name)
