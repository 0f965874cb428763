"""quillmap construction: defaults, conversions, every refusal with its exact text, serializers,
lifetime, subclassing and the refusal of pickling."""
import copy
import gc
import os
import pickle
import tempfile
import weakref

import pytest

import corvana.quillmap as qm
from corvana.pellrook import pellrook
from corvana.quillmap import quillmap

from conftest import SMALL, run_python

PICKLING_REFUSED = "self.chm,self.size cannot be converted to a Python object for pickling"


class Recorder(pellrook):
    """A base placed between quillmap and pellrook: records (or refuses) what __init__ is given."""

    __slots__ = ()
    calls = []
    refuse = False

    def __init__(self, hash_function):
        Recorder.calls.append(hash_function)
        if Recorder.refuse:
            raise LookupError("refused by the base")
        super().__init__(hash_function)


class Recorded(quillmap, Recorder):
    pass


@pytest.fixture
def recorder():
    Recorder.calls.clear()
    Recorder.refuse = False
    yield Recorder
    Recorder.refuse = False


def test_defaults_create_a_map_in_the_temporary_directory():
    q = quillmap()
    try:
        assert isinstance(q.name, bytes)
        assert os.path.dirname(q.name) == os.path.realpath(tempfile.gettempdir()).encode()
        assert os.path.getsize(q.name) >= 650000000
        # A sparse file that grows with its contents: the 32 MiB of buckets get pages as they are used.
        assert os.stat(q.name).st_blocks * 512 < 1024 * 1024
        assert q.bucket_chunk_in_use == 1 and q.element_count == 0
        assert q.insert("key", {"value": [1, 2]}) == 1
        assert q.get("key") == [True, {"value": [1, 2]}]
        for key in range(100):
            q[key] = key
        # Walks and the checker pass the bucket pages nobody wrote without giving them backing.
        assert sorted(k for k in q if k != "key") == list(range(100))
        assert qm._check_file(q.name)["entries"] == 101
        assert os.stat(q.name).st_blocks * 512 < 4 * 1024 * 1024
        assert all(q[key] == key for key in range(100)) and len(q) == 101
    finally:
        os.unlink(q.name)


def test_empty_name_creates_a_new_map_and_a_name_opens_it(new_map):
    first = new_map(name=b"")
    first.insert(1, "one")
    second = quillmap(first.name)  # every other parameter at its default: the file says the rest
    assert second.name is first.name
    assert second.get(1) == [True, "one"]


def test_integers_convert_through_int(new_map):
    class Four:
        def __int__(self):
            return 4

    q = new_map(size=16 * 1024 * 1024 + 0.7, bucket_chunk_size_exponent=Four(), chunk_size_exponent=4.9)
    q.insert(b"k", b"v")
    assert q.get(b"k") == [True, b"v"]


@pytest.mark.parametrize("arguments, error, text", [
    (dict(size=-1), OverflowError, "can't convert negative value to size_t"),
    (dict(bucket_chunk_number=-5), OverflowError, "can't convert negative value to size_t"),
    (dict(size=2 ** 64), OverflowError, "value too large to convert to size_t"),
    (dict(bucket_chunk_size_exponent=-1), OverflowError, "can't convert negative value to unsigned char"),
    (dict(chunk_size_exponent=256), OverflowError, "value too large to convert to unsigned char"),
    (dict(bucket_chunk_size_exponent=256), OverflowError, "value too large to convert to unsigned char"),
    (dict(size="16"), TypeError, "an integer is required"),
    (dict(chunk_size_exponent=None), TypeError, "an integer is required"),
    (dict(name="/tmp/x"), TypeError, "Argument 'name' has incorrect type (expected bytes, got str)"),
    (dict(serializer=b"pickle"), TypeError, "Argument 'serializer' has incorrect type (expected str, got bytes)"),
    (dict(bogus=1), TypeError, "__init__() got an unexpected keyword argument 'bogus'"),
    (dict(size=0), ValueError, "size should be greater than zero!"),
    (dict(chunk_size_exponent=2), ValueError, "string_chunk_size_exponent should be greater than 2!"),
    (dict(bucket_chunk_number=0), ValueError, "bucket chunk number should be greater than zero!"),
])
def test_refused_arguments(arguments, error, text):
    with pytest.raises(error) as caught:
        quillmap(**{**SMALL, **arguments})
    assert str(caught.value) == text
    names = [entry.name for entry in caught.traceback]
    assert "corvana.quillmap.quillmap.__init__" in names


def test_argument_binding_errors():
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 7 positional arguments \(8 given\)$"):
        quillmap(None, 1, 2, 3, 4, "pickle", hash, 8)
    with pytest.raises(TypeError, match=r"^__init__\(\) got multiple values for keyword argument 'name'$"):
        quillmap(None, name=None)
    with pytest.raises(TypeError):
        quillmap(**{1: 2})


def test_a_memory_file_that_cannot_be_created_is_a_memory_error(tmp_path):
    out = run_python("""
        from corvana.quillmap import quillmap
        try:
            quillmap(size=1 << 20)
        except MemoryError as error:
            print(error)
    """, env={"TMPDIR": str(tmp_path / "missing")})
    assert out == "bad allocation\n"


def test_a_name_with_a_null_byte_is_refused(new_map):
    q = new_map()
    with pytest.raises(ValueError, match="^embedded null byte in name$"):
        quillmap(q.name + b"\0ignored")
    with pytest.raises(ValueError, match="^embedded null byte in name$"):
        qm.dict_expansion(q.name + b"\0", 2)


def test_a_missing_or_foreign_file_is_a_clear_error(tmp_path):
    with pytest.raises(RuntimeError):
        quillmap(b"/nonexistent/corvana-test-map")
    foreign = tmp_path / "foreign"
    foreign.write_bytes(b"not a map" * 100)
    with pytest.raises(RuntimeError, match="not a map file"):
        quillmap(bytes(foreign))


def test_type_checks_come_before_the_base_and_the_serializer_after_it(recorder):
    class BytesName(bytes):
        pass

    with pytest.raises(TypeError, match="expected bytes, got BytesName"):
        Recorded(BytesName(b"x"), **SMALL)
    assert recorder.calls == []
    for serializer in ("Pickle", "JSON", None, ""):
        with pytest.raises(ValueError, match="^Invalid serializer!$"):
            Recorded(serializer=serializer, **SMALL)
    assert recorder.calls == [hash] * 4


def test_base_receives_the_hash_function_and_its_error_passes_unchanged(recorder):
    with pytest.raises(LookupError, match="refused by the base"):
        recorder.refuse = True
        Recorded(hash_function=len, **SMALL)
    assert recorder.calls == [len]


def test_hash_function_must_be_callable():
    with pytest.raises(TypeError, match="hash_function must be callable"):
        quillmap(hash_function=42, **SMALL)


class TestSerializers:
    @pytest.mark.parametrize("serializer, key, value", [
        ("pickle", ("tuple", 1), {"set": {1, 2}, "bytes": b"\0"}),
        ("orjson", "key", {"list": [1, 2.5, None], "text": "\u00e9"}),
        ("json", "key", {"list": [1, 2.5, None], "text": "\u00e9\ud800"}),
        ("msgpack", 7, [b"raw", "text", {"n": -1}]),
        ("msgspec", "key", {"a": [True, False]}),
    ])
    def test_round_trip(self, new_map, serializer, key, value):
        pytest.importorskip(serializer)
        q = new_map(serializer=serializer)
        assert q.insert(key, value) == 1
        assert q.get(key) == [True, value]
        assert q.remove(key) == 1
        assert q.get(key) == [False]

    def test_msgspec_stores_json_and_leaves_the_package_as_it_is(self, new_map):
        msgspec = pytest.importorskip("msgspec")
        q = new_map(serializer="msgspec")
        q["key"] = {"a": [True, None]}
        # Its JSON codec's bytes, which the "json" serializer reads too; msgspec gains no attributes.
        assert quillmap(q.name, serializer="json")["key"] == {"a": [True, None]}
        assert "dumps" not in vars(msgspec) and "loads" not in vars(msgspec)

    def test_json_stores_the_utf8_bytes_of_json_dumps(self, new_map):
        import json

        q = new_map(serializer="json")
        value = {"text": "caf\u00e9", "n": [1, 2.5, None, True]}
        assert q.insert("k", value) == 1 and q.get("k") == [True, value]
        # What is stored is json.dumps's text as UTF-8, so any process (or program) reads it back.
        from corvana import _json_codec

        assert _json_codec.dumps(value) == json.dumps(value).encode("utf-8")
        assert quillmap(q.name, serializer="json")["k"] == value
        with pytest.raises(TypeError, match="not JSON serializable"):
            q.insert("set", {1})
        assert qm.json is json and q.remove("k") == 1 and q.element_count == 0

    def test_dumps_returning_none_fails_after_every_serialization(self, new_map, monkeypatch):
        calls = []

        class NoneSerializer:
            @staticmethod
            def dumps(obj):
                calls.append(obj)
                return None

        monkeypatch.setattr(qm, "pickle", NoneSerializer)
        q = new_map()
        with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
            q.insert("k", "v")
        assert calls == ["k", "v"]
        for operation in (q.get, q.remove):
            with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
                operation("k")

    def test_values_come_back_byte_exact_whatever_their_length(self, new_map, monkeypatch):
        # A pass-through serializer stores the bytes as given: an empty value, and long values that
        # span many string chunks, are copied whole into the result's bytes object.
        class RawSerializer:
            dumps = staticmethod(lambda obj: obj)
            loads = staticmethod(bytes)

        monkeypatch.setattr(qm, "pickle", RawSerializer)
        q = new_map()
        values = {b"empty": b"", b"one": b"\xff", b"long": bytes(range(256)) * 400}
        for key, value in values.items():
            q.insert(key, value)
        for key, value in values.items():
            assert q.get(key) == [True, value]
            assert q[key] == value
            assert q.lookup(key, None) == value

    def test_dumps_and_loads_are_looked_up_at_each_call(self, new_map, monkeypatch):
        q = new_map()
        q.insert(1, "one")
        assert q.get(1) == [True, "one"] and q[1] == "one"  # whatever a lookup remembers is now set
        monkeypatch.setattr(pickle, "loads", lambda data: "replaced")
        assert q.get(1) == [True, "replaced"] and q[1] == "replaced"
        monkeypatch.setattr(pickle, "dumps", lambda obj, real=pickle.dumps: real(2 if obj == 1 else obj))
        q[1] = "two"  # stored under the key 2
        monkeypatch.undo()
        assert q[2] == "two" and q[1] == "one"


class TestLifetime:
    def test_instance_without_map_raises_instead_of_touching_memory(self):
        q = quillmap.__new__(quillmap)
        assert q.name is None
        for call in (lambda: q.insert(1, 1), lambda: q.get(1), lambda: q.remove(1), lambda: q.expansion(1),
                     lambda: qm.dict_get(q, 1), lambda: q.bucket_chunk_in_use):
            with pytest.raises(RuntimeError, match="holds no map"):
                call()

    def test_failed_construction_leaves_no_map(self):
        q = quillmap.__new__(quillmap)
        with pytest.raises(ValueError):
            q.__init__(size=0)
        with pytest.raises(RuntimeError, match="holds no map"):
            q.get(1)

    def test_second_init_replaces_the_map(self, new_map):
        first, second = new_map(), new_map()
        first.insert("k", "first")
        second.insert("k", "second")
        first.__init__(second.name)
        assert first.name == second.name
        assert first.get("k") == [True, "second"]

    def test_dropping_an_instance_leaves_the_map_to_the_others(self, new_map):
        q = new_map()
        other = quillmap(q.name)
        q.insert(1, 2)
        del q
        gc.collect()
        assert other.get(1) == [True, 2]
        other.insert(3, 4)
        assert quillmap(other.name).get(3) == [True, 4]

    def test_cycles_are_collected(self, new_map):
        class Sub(quillmap):
            pass

        q = new_map(cls=Sub)
        q.me = q
        gone = weakref.ref(q)
        name = q.name
        del q
        gc.collect()
        assert gone() is None
        assert quillmap(name).get(1) == [False]

    def test_pickling_and_copying_are_refused(self, new_map):
        q = new_map()
        for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda obj: obj.__setstate__(None)):
            with pytest.raises(TypeError) as caught:
                attempt(q)
            assert str(caught.value) == PICKLING_REFUSED


def test_subclass_has_an_attribute_dictionary_and_read_only_name(new_map):
    class Sub(quillmap):
        def describe(self):
            return self.name

    q = new_map(cls=Sub)
    q.note = "free attribute"
    assert q.__dict__ == {"note": "free attribute"}
    assert q.describe() == q.name
    plain = new_map()
    plain.tag = 1
    assert plain.__dict__ == {"tag": 1}
    with pytest.raises(AttributeError):
        plain.name = b"other"


def test_docstrings():
    assert quillmap.__doc__ == "\nclass provide quillmap\n    "
    lines = quillmap.__init__.__doc__.splitlines()
    assert lines[0] == (
        "__init__(self, name: bytes = None, size: int = 650000000, bucket_chunk_size_exponent: int = 20, "
        "bucket_chunk_number: int = 100, chunk_size_exponent: int = 5, serializer: unicode = u'pickle', "
        "hash_function: Callable = hash)")
    assert lines[1] == "constructor of quillmap"
    assert len(lines) == 10 and "'msgspec', 'pickle', 'orjson', 'msgpack' and 'json'" in lines[7]
    assert lines[9].startswith(":param lock_timeout: (keyword only)")  # added beside the others
    assert quillmap.insert.__doc__.startswith("insert(self, input_key, input_value) -> int\n")
    assert quillmap.expansion.__doc__.startswith("expansion(self, parallelism: int = 0) -> int\n")
    assert qm.dict_insert.__doc__.startswith("dict_insert(target: quillmap, input_key, input_value) -> int\n")
