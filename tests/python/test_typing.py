"""The installed stubs: mypy knows every method of the three modules, and flags wrong uses."""
import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest

import corvana

GOOD = """
from typing import Any, Iterator, List, Optional, Tuple
from corvana.quillmap import quillmap, dict_get, dict_insert, dict_remove, dict_expansion
from corvana.pellrook import pellrook
from corvana.tarnwick import atomic_object, array2d

def use(q: quillmap) -> None:
    q[1] = "a"
    value: Any = q[1]
    del q[1]
    present: bool = 1 in q
    count: int = len(q)
    found: List[Any] = q.get(1)
    inserted: int = q.insert(1, 2) + q.remove(1) + q.expansion(2) + dict_insert(q, 1, 2)
    default: Any = q.lookup(1, None)
    stored: Any = q.setdefault(1, 0)
    popped: Any = q.pop(1, None)
    replaced: bool = q.compare_and_set(1, 0, 1)
    total: int = q.add("hits") + q.add("hits", 5)
    keys: Iterator[Any] = q.keys()
    pairs: Iterator[Tuple[Any, Any]] = q.items()
    for key in q:
        pass
    for value in q.values():
        pass
    name: Optional[bytes] = q.name
    chunks: int = q.bucket_chunk_in_use + q.element_count
    q.unlink()
    q.close()

with quillmap(size=1 << 24, serializer="pickle", hash_function=hash) as shared:
    same: quillmap = shared
    use(shared)
print(dict_get(shared, 1), dict_remove(shared, 1), dict_expansion(b"/tmp/x", 2))
cell = atomic_object(3)
cell.store(cell.load() + cell.fetch_add(1))
rows, columns = array2d(2, 3).shape
base: pellrook = shared
"""

BAD = """
from corvana.quillmap import quillmap
q = quillmap()
q.add("k", 1.5)
q.compare_and_set("k", 1)
q.no_such_method()
text: str = q.close()
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_knows_the_modules_from_their_stubs(tmp_path):
    package = os.path.dirname(corvana.__file__)
    for stub in ("py.typed", "quillmap.pyi", "pellrook.pyi", "tarnwick.pyi"):
        assert os.path.exists(os.path.join(package, stub)), stub

    def mypy(source):
        path = tmp_path / "example.py"
        path.write_text(textwrap.dedent(source))
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                               "--cache-dir", str(tmp_path / "cache"), str(path)],
                              capture_output=True, text=True, cwd=tmp_path, timeout=300)

    good = mypy(GOOD)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = mypy(BAD)
    assert bad.returncode == 1
    for line in (4, 5, 6, 7):
        assert f"example.py:{line}: error" in bad.stdout, bad.stdout


SHARED_GOOD = """
import pathlib
from typing import Any, Dict, ItemsView, Iterator, KeysView, Tuple, Union, ValuesView
from collections.abc import MutableMapping
import corvana
from corvana import SharedDict, MapFullError, MemoryFileNotFoundError, SerializerNotInstalledError
from corvana import RedisDict, RedisCommandError, RedisConnectionError, RedisTimeoutError

def use(d: Union[SharedDict, RedisDict]) -> None:
    d["k"] = 1
    value: Any = d["k"]
    present: bool = "k" in d
    count: int = len(d)
    got: Any = d.get("k")
    got_or: Any = d.get("zz", 0)
    keys: KeysView[Any] = d.keys()
    values: ValuesView[Any] = d.values()
    items: ItemsView[Any, Any] = d.items()
    stored: Any = d.setdefault("s", 0)
    popped: Any = d.pop("s")
    popped_or: Any = d.pop("s", None)
    pair: Tuple[Any, Any] = d.popitem()
    d.update({"a": 1}, b=2)
    plain: Dict[Any, Any] = d.copy()
    same: bool = d == {"a": 1}
    total: int = d.add("n") + d.add("n", 2)
    replaced: bool = d.compare_and_set("n", 3, 4)
    name: str = d.name
    for key in d:
        pass
    del d["a"]
    d.clear()
    mapping: MutableMapping[Any, Any] = d
    d.unlink()

with SharedDict(size=1 << 24, bucket_chunk_size_exponent=4, serializer="json") as shared:
    use(shared)
reopened = SharedDict(pathlib.Path("/tmp/x"))
again = SharedDict(b"/tmp/x", hash_function=len)
reopened.close()
version: str = corvana.__version__
try:
    SharedDict("/tmp/missing")
except MemoryFileNotFoundError as error:
    print(error.filename)
except MapFullError as full:
    print(full.minimum, full.parameter)
except SerializerNotInstalledError as missing:
    print(missing.hint)
with RedisDict("redis://localhost:6379/0", name="counts", serializer="json", socket_timeout=2.0) as remote:
    use(remote)
new_one = RedisDict("unix:///run/redis.sock")
url: str = new_one.url + new_one.name
try:
    new_one["k"] = 1
except RedisTimeoutError as late:
    print(late.command)
except RedisConnectionError as lost:
    print(lost.url, lost.command)
except RedisCommandError as refused:
    print(refused.key)
"""

SHARED_BAD = """
from corvana import RedisDict, SharedDict
d = SharedDict(serializer="yaml")
d.add("k", 1.5)
name: bytes = d.name
SharedDict(3)
RedisDict("redis://localhost", name=5)
"""


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_passes_on_shared_dict_uses_and_the_typed_examples(tmp_path):
    examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")
    (tmp_path / "good.py").write_text(textwrap.dedent(SHARED_GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(SHARED_BAD))

    def mypy(*paths):
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                               "--cache-dir", str(tmp_path / "cache"), *map(str, paths)],
                              capture_output=True, text=True, cwd=tmp_path, timeout=300)

    typed_examples = [os.path.join(examples, name) for name in ("two_processes.py", "pool_word_count.py")]
    good = mypy(tmp_path / "good.py", *typed_examples)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = mypy(tmp_path / "bad.py")
    for line in (3, 4, 5, 6, 7):
        assert f"bad.py:{line}: error" in bad.stdout, bad.stdout
