"""SharedDict's own part (the dict contract it shares with RedisDict is test_dict_contract.py): opening
by any form of path, pickling by name, and its up-front parameter checks."""
import os
import pathlib
import pickle

import pytest

from conftest import SMALL
from corvana import MemoryFileNotFoundError, SharedDict
from corvana.quillmap import quillmap

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


def test_opens_by_str_bytes_or_pathlike_and_is_a_quillmap(shared):
    d = shared()
    assert isinstance(d, quillmap) and os.path.exists(d.name)
    d["n"] = 6
    with SharedDict(pathlib.Path(d.name)) as other:  # a str path, a PathLike and bytes all open it
        assert other["n"] == 6 and SharedDict(os.fsencode(d.name))["n"] == 6


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
