"""The dict protocol, the read-modify-write methods, iteration, close() and unlink() of quillmap, in
one process; tests/python/test_dict_processes.py runs them from several processes at once."""
import importlib.util
import os
import threading

import pytest

from corvana.quillmap import quillmap

SERIALIZERS = [name for name in ("pickle", "json", "orjson", "msgpack", "msgspec")
               if name in ("pickle", "json") or importlib.util.find_spec(name) is not None]


@pytest.mark.parametrize("serializer", SERIALIZERS)
def test_the_dict_protocol_with_every_serializer(new_map, serializer):
    q = new_map(serializer=serializer)
    assert len(q) == 0 and not q and "k" not in q
    q["k"] = [1, 2]
    q["n"] = 5
    assert q["k"] == [1, 2] and "k" in q and len(q) == 2 and q
    q["k"] = "replaced"
    assert q["k"] == "replaced" and len(q) == 2
    del q["k"]
    assert "k" not in q and len(q) == 1
    with pytest.raises(KeyError):
        del q["k"]
    with pytest.raises(KeyError):
        q["k"]
    assert q.lookup("k") is None and q.lookup("k", 7) == 7 and q.lookup("n", 7) == 5
    # The list API sees the same entries and keeps its own results.
    assert q.get("n") == [True, 5] and q.get("k") == [False]
    assert q.insert("m", 1) == 1 and q["m"] == 1
    assert q.remove("m") == 1 and q.remove("m") == 0


def test_key_errors_name_the_key_and_keys_are_equal_by_their_bytes(new_map):
    q = new_map()
    with pytest.raises(KeyError) as excinfo:
        q[("a", 1)]
    assert excinfo.value.args == (("a", 1),)
    q[1] = "int"
    assert 1.0 not in q and True not in q  # other bytes under pickle: other keys
    q[1.0] = "float"
    assert len(q) == 2 and q[1] == "int" and q[1.0] == "float"


def test_repr_shows_the_name_and_the_count(new_map):
    q = new_map()
    q["a"] = 1
    assert repr(q) == f"quillmap(name={q.name!r}, len=1)"
    q.close()
    assert repr(q) == f"quillmap(name={q.name!r}, closed)"


def test_unserializable_keys_and_values_change_nothing(new_map):
    q = new_map()
    unpicklable = threading.Lock()
    with pytest.raises(TypeError):
        q["k"] = unpicklable
    with pytest.raises(TypeError):
        q.setdefault("k", unpicklable)
    with pytest.raises(TypeError):
        q.compare_and_set("k", None, unpicklable)
    assert "k" not in q and len(q) == 0
    json_map = new_map(serializer="json")
    with pytest.raises(TypeError, match="not JSON serializable"):
        json_map["k"] = {1, 2}
    assert "k" not in json_map and len(json_map) == 0


def test_setdefault_pop_and_compare_and_set(new_map):
    q = new_map()
    assert q.setdefault("k", [1]) == [1]
    assert q.setdefault("k", [2]) == [1]
    assert q.setdefault("none") is None and "none" in q
    assert q.pop("k") == [1] and "k" not in q
    assert q.pop("k", "gone") == "gone"
    with pytest.raises(KeyError):
        q.pop("k")
    assert q.compare_and_set("k", 1, 2) is False and "k" not in q  # absent: never inserted
    q["k"] = {"a": 1}
    assert q.compare_and_set("k", {"a": 2}, "x") is False and q["k"] == {"a": 1}
    assert q.compare_and_set("k", {"a": 1}, "x" * 1000) is True and q["k"] == "x" * 1000
    assert q.compare_and_set(key="k", expected="x" * 1000, new=0) is True and q["k"] == 0
    with pytest.raises(TypeError):
        q.compare_and_set("k", 0)
    assert len(q) == 2


class _Unloadable:
    """Pickles fine; its unpickling raises (a value another program version cannot load)."""

    def __reduce__(self):
        return (_refuse_to_load, ())


def _refuse_to_load():
    raise ValueError("cannot load this value")


def test_a_value_that_cannot_be_loaded_is_never_lost(new_map):
    q = new_map()
    q["bad"] = _Unloadable()
    for index in range(3000):
        q[index] = index
    # pop raises the loader's error and leaves the entry where it was.
    with pytest.raises(ValueError, match="cannot load"):
        q.pop("bad")
    assert "bad" in q and len(q) == 3001
    with pytest.raises(ValueError, match="cannot load"):
        q.pop("bad", None)
    assert "bad" in q
    # A walk raises for that entry alone and goes on after it: every other entry comes once.
    for kind in ("items", "values"):
        seen, failures = [], 0
        walk = iter(getattr(q, kind)())
        while True:
            try:
                seen.append(next(walk))
            except StopIteration:
                break
            except ValueError:
                failures += 1
        assert failures == 1, kind
        expected = sorted((i, i) for i in range(3000)) if kind == "items" else list(range(3000))
        assert sorted(seen) == expected, kind
    assert "bad" in list(q.keys())  # keys alone load fine
    del q["bad"]
    assert len(q) == 3000


def test_add_counts_from_zero_and_refuses_what_is_not_an_int(new_map):
    q = new_map()
    assert q.add("c") == 1 and q.add("c", 41) == 42 and q.add("c", -50) == -8
    assert q["c"] == -8 and q.get("c") == [True, -8]  # an ordinary serialized int
    assert q.add("big", 2 ** 100) == 2 ** 100
    with pytest.raises(TypeError, match="int delta"):
        q.add("c", 1.5)
    q["s"] = "text"
    with pytest.raises(TypeError, match="int values"):
        q.add("s", 1)
    assert q["s"] == "text" and q["c"] == -8


def test_walks_return_every_entry_once_after_expansions(new_map):
    q = new_map(bucket_chunk_size_exponent=2)
    assert list(q) == [] and list(q.items()) == []
    expected = {("key", i): i * i for i in range(2000)}
    for key, value in expected.items():
        q[key] = value
    assert q.bucket_chunk_in_use > 1
    keys = list(q.keys())
    assert len(keys) == len(expected) and set(keys) == set(expected)
    assert sorted(q.values()) == sorted(expected.values())
    assert dict(q.items()) == expected and len(list(q.items())) == len(expected)
    assert set(iter(q)) == set(expected)


def test_a_walk_sees_every_unchanged_key_once_while_its_loop_body_expands_the_map(new_map):
    q = new_map(bucket_chunk_size_exponent=2)
    for i in range(40):
        q[i] = "stable"
    seen = []
    extra = 0
    for key in q:
        seen.append(key)
        for _ in range(30):  # enough inserts for several doublings during the walk
            q[f"extra-{extra}"] = "x"
            extra += 1
        if key == 3:
            del q[5 if 5 not in seen else 6]
    stable = [key for key in seen if isinstance(key, int)]
    assert len(seen) == len(set(seen)), "no key is returned twice"
    assert set(range(40)) - {5, 6} <= set(stable)
    assert q.bucket_chunk_in_use >= 16


def test_close_ends_every_operation_and_leaves_the_file(new_map):
    q = new_map()
    q["k"] = 1
    walk = q.items()
    q.close()
    q.close()  # twice: nothing more
    for operation in (lambda: q["k"], lambda: len(q), lambda: "k" in q, lambda: q.get("k"),
                      lambda: q.insert("k", 2), lambda: q.add("k"), lambda: next(walk), lambda: list(q),
                      lambda: q.element_count):
        with pytest.raises(RuntimeError, match="closed"):
            operation()
    assert quillmap(q.name)["k"] == 1  # the map itself stays


def test_with_closes_on_exit_also_after_an_error(new_map):
    q = new_map()
    with q as same:
        assert same is q
        same["k"] = 1
    with pytest.raises(RuntimeError, match="closed"):
        q["k"]
    with pytest.raises(RuntimeError, match="closed"):
        with q:
            pass
    other = quillmap(q.name)
    with pytest.raises(ZeroDivisionError):
        with other:
            1 / 0
    with pytest.raises(RuntimeError):
        other["k"]


def test_unlink_removes_the_file_and_open_instances_keep_working(new_map):
    q = new_map()
    second = quillmap(q.name)
    q["k"] = 1
    q.unlink()
    assert not os.path.exists(q.name)
    second["j"] = 2
    assert q["j"] == 2 and len(q) == 2
    with pytest.raises(FileNotFoundError):
        q.unlink()
    with pytest.raises(FileNotFoundError):
        second.unlink()
    q.close()
    assert second["k"] == 1


def test_a_subclass_keeps_the_dict_protocol(new_map):
    class Counted(quillmap):
        pass

    q = new_map(cls=Counted)
    q["a"] = 1
    assert q["a"] == 1 and len(q) == 1 and list(q) == ["a"]
    assert repr(q).startswith("Counted(name=")
