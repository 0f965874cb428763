"""SharedDict: dict semantics over one shared map, pickling by name to worker processes under every
start method, and its up-front parameter checks."""
import collections.abc
import concurrent.futures
import multiprocessing
import os
import pathlib
import pickle

import pytest

from conftest import SMALL
from corvana import MemoryFileNotFoundError, SharedDict
from corvana.quillmap import quillmap

START_METHODS = [method for method in ("fork", "spawn", "forkserver")
                 if method in multiprocessing.get_all_start_methods()]


@pytest.fixture
def shared():
    """shared(**overrides) -> a SharedDict on a new small memory file, removed after the test."""
    made = []

    def make(**overrides):
        instance = SharedDict(**{**SMALL, **overrides})
        made.append(instance.name)
        return instance

    yield make
    for name in made:
        if os.path.exists(name):
            os.unlink(name)


def count_words(d, text):
    """A worker: counts the words of `text` into the SharedDict it was handed (pickled by name)."""
    for word in text.split():
        d.add(word)
    return d.name


def test_is_a_mutable_mapping_with_dict_semantics(shared):
    d = shared()
    assert isinstance(d, collections.abc.MutableMapping) and isinstance(d, quillmap)
    assert isinstance(d.name, str) and os.path.exists(d.name)
    d.update({"a": 1}, b=2)
    d.update([("c", 3)])
    assert d.get("a") == 1 and d.get("zz") is None and d.get("zz", 0) == 0
    assert d == {"a": 1, "b": 2, "c": 3} and d != {"a": 1} and d != [("a", 1)]
    keys, values, items = d.keys(), d.values(), d.items()
    # Views walk the map again each time they are iterated, and see later changes.
    assert sorted(keys) == sorted(keys) == ["a", "b", "c"]
    d["d"] = 4
    assert len(keys) == 4 and sorted(values) == [1, 2, 3, 4] and ("d", 4) in items and ("d", 5) not in items
    assert "a" in keys and 4 in values and 5 not in values and keys == {"a", "b", "c", "d"}
    copied = d.copy()
    assert type(copied) is dict and copied == {"a": 1, "b": 2, "c": 3, "d": 4}
    assert d.setdefault("a", 9) == 1 and d.pop("a") == 1 and d.pop("a", None) is None
    with pytest.raises(KeyError):
        d.pop("a")
    key, value = d.popitem()
    assert key not in d and copied[key] == value and len(d) == 2
    d.clear()
    assert len(d) == 0 and d == {} and not d
    with pytest.raises(KeyError, match="popitem"):
        d.popitem()
    with pytest.raises(TypeError, match="unhashable"):
        hash(d)


def test_atomic_operations_and_lifetime(shared):
    d = shared()
    assert d.add("n") == 1 and d.add("n", 4) == 5
    assert d.compare_and_set("n", 5, 6) and not d.compare_and_set("n", 5, 7) and d["n"] == 6
    with SharedDict(pathlib.Path(d.name)) as other:  # a str path, a PathLike and bytes all open it
        assert other["n"] == 6 and SharedDict(os.fsencode(d.name))["n"] == 6
    with pytest.raises(RuntimeError, match="closed"):
        other["n"]


@pytest.mark.parametrize("serializer", ["pickle", "json"])
def test_every_serializer_round_trips(shared, serializer):
    d = shared(serializer=serializer)
    d["k"] = {"list": [1, 2.5, None], "text": "caf\u00e9"}
    assert SharedDict(d.name, serializer=serializer)["k"] == d["k"]


def test_pickles_by_name_and_never_creates_a_file(shared, tmp_path):
    d = shared(serializer="json", hash_function=len)
    d["abc"] = 1
    copy = pickle.loads(pickle.dumps(d))
    assert type(copy) is SharedDict and copy.name == d.name and copy["abc"] == 1
    # The hash function travelled by reference: len finds the key where the creator put it.
    assert copy.__dict__["_hash_function"] is len
    # Pickled, then removed: the receiver refuses instead of making a new, empty map.
    data = pickle.dumps(d)
    os.unlink(d.name)
    with pytest.raises(MemoryFileNotFoundError) as excinfo:
        pickle.loads(data)
    assert excinfo.value.filename == d.name and not os.path.exists(d.name)


def test_pickling_refuses_a_closed_or_unlinked_one_and_quillmap_still_refuses(shared):
    d = shared()
    other = SharedDict(d.name)
    other.close()
    with pytest.raises(pickle.PicklingError, match="closed"):
        pickle.dumps(other)
    d.unlink()
    with pytest.raises(pickle.PicklingError, match="unlinked"):
        pickle.dumps(d)
    q = quillmap(**SMALL)
    try:
        with pytest.raises(TypeError, match=r"^self\.chm,self\.size cannot be converted to a Python object for "
                                            r"pickling$"):
            pickle.dumps(q)
    finally:
        os.unlink(q.name)


@pytest.mark.parametrize("method", START_METHODS)
def test_pool_workers_under_every_start_method(shared, method):
    d = shared()
    texts = ["a b c", "a b", "a"] * 4
    with multiprocessing.get_context(method).Pool(2) as pool:
        names = pool.starmap(count_words, [(d, text) for text in texts])
    assert set(names) == {d.name}
    assert d == {"a": 12, "b": 8, "c": 4}


def test_process_pool_executor(shared):
    d = shared()
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
        list(executor.map(count_words, [d] * 6, ["x y"] * 6))
    assert d.copy() == {"x": 6, "y": 6}


def test_parameters_are_checked_up_front():
    cases = [
        (dict(name=""), ValueError, "name must not be empty"),
        (dict(name=b"a\0b"), ValueError, "null byte"),
        (dict(name=3), TypeError, "name must be str, bytes or os.PathLike"),
        (dict(size=0), ValueError, "size must be at least 1"),
        (dict(size=2.5), TypeError, "size must be an int"),
        (dict(size=True), TypeError, "size must be an int"),
        (dict(bucket_chunk_size_exponent=256), ValueError, "bucket_chunk_size_exponent must be from 0 to 255"),
        (dict(bucket_chunk_number=0), ValueError, "bucket_chunk_number must be at least 1"),
        (dict(chunk_size_exponent=8), ValueError, "chunk_size_exponent must be from 3 to 7"),
        (dict(serializer="JSON"), ValueError, "serializer must be one of"),
        (dict(hash_function=42), TypeError, "hash_function must be callable"),
    ]
    directory = os.environ.get("TMPDIR", "/tmp")
    before = set(os.listdir(directory))
    for arguments, error, text in cases:
        with pytest.raises(error, match=text):
            SharedDict(**arguments)
    made = {name for name in set(os.listdir(directory)) - before if name.startswith(f"mm{os.getpid()}")}
    assert not made  # refused before a memory file was made
