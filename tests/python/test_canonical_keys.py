"""Keys that are equal are one key, whichever process made them and however: frozensets (whose
serialized order follows salted hashes) found across processes with different hash seeds, under every
serializer that takes them, and keys whose equal parts are or are not one object found alike."""
import collections
import os
import pickle

import pytest

import corvana.quillmap as qm

from conftest import run_python

# Built alike in every process by a module on the path.
KEY_MODULE = """
texts = [f"s{i}" for i in range(40)]
KEYS = [
    frozenset({"x", "y"}),
    ("t", frozenset({"x", "y"})),
    (1, ("nested", frozenset({"x", "y"}))),
    frozenset(texts),
    frozenset({frozenset({"a", "b"}), frozenset({"c"}), "d"}),
    frozenset({("p", "q"), ("r",), 3, 2.5, None}),
    (frozenset({"x", "y"}), frozenset({"y", "x"})),
    frozenset(),
]
"""


@pytest.mark.parametrize("serializer", ["pickle", "msgspec"])
def test_frozenset_keys_are_found_across_processes_with_other_hash_seeds(new_map, tmp_path, serializer):
    pytest.importorskip(serializer)
    (tmp_path / "canonical_key_module.py").write_text(KEY_MODULE)
    q = new_map(serializer=serializer)
    program = f"""
        from corvana.quillmap import quillmap
        from canonical_key_module import KEYS
        q = quillmap({q.name!r}, serializer={serializer!r})
        found = [q.lookup(key, None) for key in KEYS]
        for i, key in enumerate(KEYS):
            q[key] = i
        print([found, len(KEYS), len(q), list(frozenset({{"x", "y"}}))])
    """
    env = {"PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])}
    writer = eval(run_python(program, env={**env, "PYTHONHASHSEED": "1"}))
    count = writer[1]
    assert writer[:3] == [[None] * count, count, count]
    orders = set()
    for seed in ("2", "3", "4", "5"):
        found, _, length, order = eval(run_python(program, env={**env, "PYTHONHASHSEED": seed}))
        assert found == list(range(count)), "a key stored by one process was missed by another"
        assert length == count, "a key stored by one process was stored again by another"
        orders.add(tuple(order))
    assert orders - {tuple(writer[3])}, "no seed iterated the set in another order than the writer's"


def test_keys_whose_equal_parts_are_or_are_not_one_object_are_one_key(new_map):
    q = new_map()
    made = "".join(["a", "b"])  # equal to the constant "ab", but another object
    one_set, big = frozenset({"v"}), 2 ** 100
    pairs = [
        (("ab", "ab"), ("ab", made)),
        ((b"ab", b"ab"), (b"ab", made.encode())),
        ((("ab", 1), ("ab", 1)), (("ab", 1), (made, 1))),
        (("ab", frozenset({"ab", "c"})), (made, frozenset({made, "c"}))),
        ((one_set, one_set), (frozenset({"v"}), frozenset(["v"]))),
        (((big, "a"), (big, "a")), ((big, "a"), (int(str(big)), "a"))),
    ]
    for number, (constant, built) in enumerate(pairs):
        assert constant == built
        q[constant] = number
        assert q[built] == number and q.lookup(built) == number
        q[built] = -number
        assert q[constant] == -number
    assert len(q) == len(pairs)
    # Equal values of different types or signs stay different keys, as their serialized bytes differ.
    q[(1, "x")] = "int"
    q[(1.0, "x")] = "float"
    q[((1,), (1.0,))] = "mixed"
    q[(0.0, frozenset({0.0}))] = "zero"
    q[(-0.0, frozenset({-0.0}))] = "negative zero"
    assert [q[(1, "x")], q[(1.0, "x")], q[((1,), (1.0,))]] == ["int", "float", "mixed"]
    assert [q[(0.0, frozenset({0.0}))], q[(-0.0, frozenset({-0.0}))]] == ["zero", "negative zero"]


def test_plain_keys_keep_the_bytes_pickle_gives_and_frozenset_keys_load_as_equal_frozensets(new_map, monkeypatch):
    q = new_map()
    plain = [5, "s", b"b", 2.5, None, True, ("a", 1, ("b", b"c")), ("x", "x"), ((1, 2), (1, 2, 3))]
    frozen = [frozenset({"x", "y"}), ("t", frozenset({1, frozenset({"z"})})), frozenset()]
    keys = plain + frozen
    for number, key in enumerate(keys):
        q.insert(key, number)
    walked = dict(q.items())
    assert walked == {key: number for number, key in enumerate(keys)}
    assert type(next(key for key in walked if isinstance(key, tuple) and key[0] == "t")[1]) is frozenset

    class Raw:  # reads the stored bytes of the keys as they are
        dumps = staticmethod(lambda obj: obj)
        loads = staticmethod(bytes)

    monkeypatch.setattr(qm, "pickle", Raw)
    stored = list(q.__class__(q.name).keys())
    assert {pickle.dumps(key) for key in plain} <= set(stored)
    assert collections.Counter(map(pickle.loads, stored)) == collections.Counter(keys)

    seen = []

    class Recording:  # neither pickle nor msgspec: gets the key object itself
        loads = staticmethod(pickle.loads)

        @staticmethod
        def dumps(obj):
            seen.append(obj)
            return pickle.dumps(obj)

    monkeypatch.setattr(qm, "pickle", Recording)
    q.__class__(q.name).lookup(frozen[1], None)
    assert seen == [frozen[1]] and seen[0] is frozen[1]


def nested_too_deep():
    """A frozenset nested deeper than any interpreter's recursion limit (3.13's is 10,000 C levels)."""
    deep = frozenset({"bottom"})
    for _ in range(100_000):
        deep = frozenset({deep})
    return deep


def test_keys_that_cannot_be_stored_fail_as_before(new_map):
    q = new_map()
    unpicklable = frozenset({"x", lambda: 0})
    with pytest.raises(Exception) as caught:
        pickle.dumps(unpicklable)
    with pytest.raises(type(caught.value)) as stored:
        q[unpicklable] = 1
    assert str(stored.value) == str(caught.value)
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        q[(frozenset({"x"}), [1])] = 1
    with pytest.raises(RecursionError):
        q[nested_too_deep()] = 1
    assert len(q) == 0


@pytest.mark.parametrize("serializer", ["orjson", "msgpack", "json"])
def test_serializers_without_sets_still_refuse_frozenset_keys(new_map, serializer):
    module = pytest.importorskip(serializer)
    q = new_map(serializer=serializer)
    with pytest.raises(TypeError) as stored:
        q[("t", frozenset({"x"}))] = 1
    with pytest.raises(TypeError) as direct:
        module.dumps(("t", frozenset({"x"})))
    assert str(stored.value) == str(direct.value)


def test_canonical_keys_and_their_failures_leak_nothing(new_map):
    import gc
    import sys

    maps = [new_map()] + ([new_map(serializer="msgspec")] if qm.__dict__.get("msgspec") else [])
    keys = [frozenset({"x", "y"}), ("t", frozenset({1, "a"}), "t"), ("ab", "".join(["a", "b"])),
            frozenset({frozenset({"a"}), ("p", 2)})]
    failing = [frozenset({"x", lambda: 0}), nested_too_deep()]

    def run():
        for q in maps:
            for number, key in enumerate(keys):
                q[key] = number
                assert q[key] == number
                del q[key]
            for key in failing:
                with pytest.raises((TypeError, AttributeError, pickle.PicklingError, RecursionError)):
                    q[key] = 1

    run()
    run()
    # A leak grows the blocks in every attempt (a block per call is 280 over 20 runs); the
    # interpreter's own caches grow them now and then, so the smallest growth of three counts.
    growths = []
    for _ in range(3):
        gc.collect()  # the cycles of the exceptions caught so far
        before = sys.getallocatedblocks()
        for _ in range(20):
            run()
        gc.collect()
        growths.append(sys.getallocatedblocks() - before)
    assert min(growths) < 100, growths
