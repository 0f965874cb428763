"""SharedDict: a dict shared by every process on the machine, as a collections.abc.MutableMapping.

A SharedDict is a quillmap (so d[k], d[k] = v, del d[k], k in d, len(d) and iteration are the
native slots, with nothing added per call) that behaves as a dict where quillmap keeps its own
results: get(k, default), views for keys(), values() and items(), popitem(), clear(), update(),
copy() to a plain dict, == against any mapping, and a str `name`. It pickles by name: the receiver
reopens the same memory file with the same serializer and hash function, so a SharedDict can be
handed to multiprocessing.Pool, concurrent.futures.ProcessPoolExecutor and processes started with
any start method. Unpickling never creates a file.
"""
import os
import pickle
from collections.abc import MutableMapping

from corvana._mapping_views import WalkedMapping
from corvana.quillmap import quillmap

__all__ = ["SharedDict"]

SERIALIZERS = ("pickle", "orjson", "msgpack", "msgspec", "json")
_MISSING = object()
_largest_exponent = 255  # the exponents are stored in one byte


def _file_name(name):
    """The memory file's path as bytes, from str, bytes or os.PathLike."""
    try:
        path = os.fspath(name)
    except TypeError:
        raise TypeError(f"name must be str, bytes or os.PathLike, not {type(name).__name__}") from None
    encoded = os.fsencode(path)
    if not encoded:
        raise ValueError("name must not be empty: give None to create a new map")
    if b"\0" in encoded:
        raise ValueError("name must not contain a null byte")
    return encoded


def _check_int(parameter, value, smallest, largest=None):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{parameter} must be an int, not {type(value).__name__}")
    if value < smallest or (largest is not None and value > largest):
        bounds = f"at least {smallest}" if largest is None else f"from {smallest} to {largest}"
        raise ValueError(f"{parameter} must be {bounds}, not {value}")


def _identity(path):
    """What tells this file from another one later made at the same path."""
    status = os.stat(path)
    return status.st_dev, status.st_ino


def _reopen(name, serializer, hash_function, identity, lock_timeout=None):
    """Unpickles a SharedDict: opens the memory file at `name`, never creating one, and checks that
    it is the file that was pickled."""
    opened = SharedDict(name, serializer=serializer, hash_function=hash_function, lock_timeout=lock_timeout)
    try:
        found = _identity(name)
    except OSError:
        found = None
    if found != tuple(identity):
        opened.close()
        raise FileNotFoundError(f"the memory file {os.fsdecode(name)!r} of the pickled SharedDict was removed and "
                                f"another file now lies at that path")
    return opened


class SharedDict(WalkedMapping, quillmap, MutableMapping):
    """SharedDict(name=None, *, size=650000000, bucket_chunk_size_exponent=20, bucket_chunk_number=100,
    chunk_size_exponent=5, serializer="pickle", hash_function=None, lock_timeout=None)

    A dict whose entries every process on the machine shares, held in a memory file. With no name
    it creates a new memory file of `size` bytes of heap (sparse) in the temporary directory; with
    a name (str, bytes or os.PathLike) it opens that file and takes the map's dimensions from it.
    Every process must use the same serializer ("pickle", "orjson", "msgpack", "msgspec" or
    "json") and hash function (None: the built-in hash, stable across processes for str, bytes,
    int, float, bool, None and tuples of these). `lock_timeout` (seconds, or None for no bound) is
    how long one operation may wait for locks that live processes hold before it raises
    LockTimeoutError (a TimeoutError) with nothing changed; it travels with the pickled SharedDict.
    """

    __slots__ = ()

    def __init__(self, name=None, *, size=650000000, bucket_chunk_size_exponent=20, bucket_chunk_number=100,
                 chunk_size_exponent=5, serializer="pickle", hash_function=None, lock_timeout=None):
        path = None if name is None else _file_name(name)
        _check_int("size", size, 1)
        _check_int("bucket_chunk_size_exponent", bucket_chunk_size_exponent, 0, _largest_exponent)
        _check_int("bucket_chunk_number", bucket_chunk_number, 1)
        _check_int("chunk_size_exponent", chunk_size_exponent, 3, 7)
        if serializer not in SERIALIZERS:
            raise ValueError(f"serializer must be one of {', '.join(map(repr, SERIALIZERS))}, not {serializer!r}")
        if hash_function is not None and not callable(hash_function):
            raise TypeError(f"hash_function must be callable or None, not {type(hash_function).__name__}")
        arguments = dict(size=size, bucket_chunk_size_exponent=bucket_chunk_size_exponent,
                         bucket_chunk_number=bucket_chunk_number, chunk_size_exponent=chunk_size_exponent,
                         serializer=serializer)
        if hash_function is not None:
            arguments["hash_function"] = hash_function
        super().__init__(path, **arguments, lock_timeout=lock_timeout)
        made = quillmap.name.__get__(self)
        self.__dict__.update(_serializer=serializer, _hash_function=hash_function, _identity=_identity(made))

    @property
    def name(self):
        """The memory file's path (str): hand it to other processes, or pickle the SharedDict itself."""
        path = quillmap.name.__get__(self)
        return None if path is None else os.fsdecode(path)

    # dict.get: the value, or default when the key is absent (one lookup).
    get = quillmap.lookup
    # The walks of the views, copy() and ==.
    _keys_walk = quillmap.keys
    _values_walk = quillmap.values
    _items_walk = quillmap.items

    def popitem(self):
        """Removes and returns some (key, value) pair; KeyError when the map is empty. Atomic: of
        several processes popping at once, each gets a pair of its own."""
        for key in quillmap.keys(self):
            value = quillmap.pop(self, key, _MISSING)
            if value is not _MISSING:  # another process may have taken it first
                return key, value
        raise KeyError("popitem(): dictionary is empty")

    def clear(self):
        """Removes every entry present when the walk reaches it (in one walk, not one per entry)."""
        for key in quillmap.keys(self):
            quillmap.pop(self, key, None)

    def __reduce__(self):
        path = quillmap.name.__get__(self)
        try:
            quillmap.__len__(self)
        except RuntimeError as error:
            raise pickle.PicklingError(f"cannot pickle a closed SharedDict ({error})") from None
        try:
            present = _identity(path) == self.__dict__["_identity"]
        except OSError:
            present = False
        if not present:
            raise pickle.PicklingError(f"cannot pickle this SharedDict: its memory file {os.fsdecode(path)!r} was "
                                       f"unlinked, so no other process can open it")
        return _reopen, (path, self.__dict__["_serializer"], self.__dict__["_hash_function"],
                         self.__dict__["_identity"], self.lock_timeout)
