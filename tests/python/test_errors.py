"""Failures keep the type and text callers of quillmap match, and are also the standard exception a
Python user catches, with the details as attributes (and a note where Python has notes)."""
import errno
import os
import pickle
import sys

import pytest

import corvana
import corvana.quillmap as qm
from conftest import SMALL, run_python
from corvana.quillmap import quillmap

HAS_NOTES = sys.version_info >= (3, 11)


def test_a_missing_file_is_a_runtime_error_and_a_file_not_found_error(tmp_path):
    missing = tmp_path / "no-map"
    with pytest.raises(FileNotFoundError) as excinfo:
        quillmap(bytes(missing))
    error = excinfo.value
    assert isinstance(error, RuntimeError) and isinstance(error, qm.MemoryFileNotFoundError)
    assert str(error) == "file status wrong with errno: 2" and error.args == ("file status wrong with errno: 2",)
    assert error.errno == errno.ENOENT and error.filename == str(missing) and error.strerror
    if HAS_NOTES:
        assert str(missing) in error.__notes__[0]
    # It travels to another process (a worker's failure) with its details.
    back = pickle.loads(pickle.dumps(error))
    assert type(back) is type(error) and str(back) == str(error) and back.filename == error.filename


def test_a_missing_file_is_named_by_the_call_that_opens_it_never_by_a_map_used_before(tmp_path):
    # Each round uses a map and drops it (its name is freed), then opens a file that is not there:
    # by name (dict_expansion, _check_file) and by the constructor. Every error names the missing file.
    missing = str(tmp_path / "no-map")
    out = run_python(f"""
        import os
        import corvana.quillmap as qm
        name = {missing!r}.encode()
        calls = (lambda: qm.dict_expansion(name, 2), lambda: qm._check_file(name), lambda: qm.quillmap(name))
        named = set()
        for round in range(40):
            q = qm.quillmap(size=1 << 20, bucket_chunk_size_exponent=2)
            q[round] = round
            os.unlink(q.name)
            del q
            for call in calls:
                try:
                    call()
                except qm.MemoryFileNotFoundError as error:
                    named.add((error.filename, str(error)))
        print(sorted(named))
    """)
    assert out.strip() == str([(missing, "file status wrong with errno: 2")])


def test_a_file_that_may_not_be_read_is_a_permission_error(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root may read every file")
    locked = tmp_path / "locked"
    inside = locked / "map"
    locked.mkdir()
    locked.chmod(0)
    try:
        with pytest.raises(PermissionError) as excinfo:
            quillmap(bytes(inside))
        assert isinstance(excinfo.value, RuntimeError) and excinfo.value.errno == errno.EACCES
    finally:
        locked.chmod(0o700)


@pytest.mark.parametrize("exponent, number", [(10, 100), (4, 64), (0, 1)])
def test_a_size_too_small_names_the_smallest_that_works(exponent, number):
    with pytest.raises(MemoryError) as excinfo:
        quillmap(size=500, bucket_chunk_size_exponent=exponent, bucket_chunk_number=number)
    error = excinfo.value
    assert isinstance(error, RuntimeError) and isinstance(error, corvana.MapFullError)
    assert str(error) == "mm:alloc: out of memory"
    assert error.parameter == "size" and error.requested == 500
    # The smallest size is exact: it makes a map, and one byte less does not.
    q = quillmap(size=error.minimum, bucket_chunk_size_exponent=exponent, bucket_chunk_number=number)
    os.unlink(q.name)
    with pytest.raises(MemoryError):
        quillmap(size=error.minimum - 1, bucket_chunk_size_exponent=exponent, bucket_chunk_number=number)
    if HAS_NOTES:
        assert f"size={error.minimum}" in error.__notes__[0]


def test_a_full_heap_is_a_memory_error_that_changes_nothing(new_map):
    q = new_map(size=1 << 20, bucket_chunk_size_exponent=4)
    stored = 0
    with pytest.raises(MemoryError) as excinfo:
        while True:
            q[stored] = b"x" * 2000
            stored += 1
    error = excinfo.value
    assert isinstance(error, RuntimeError) and "out of memory" in str(error)
    assert error.parameter == "size" and error.minimum is None
    assert len(q) == stored and stored not in q
    del q[0]
    q[stored] = b"fits again"


def test_a_missing_serializer_is_a_name_error_with_the_extra_to_install():
    out = run_python("""
        import sys
        sys.modules["orjson"] = None
        import corvana
        from corvana.quillmap import quillmap
        try:
            quillmap(serializer="orjson", size=1 << 20, bucket_chunk_size_exponent=2)
        except NameError as error:
            print(type(error) is corvana.SerializerNotInstalledError, error)
            print(error.name, error.extra, error.hint)
            print(getattr(error, "__notes__", ["no notes"])[0])
    """)
    lines = out.splitlines()
    assert lines[0] == "True name 'orjson' is not defined"
    assert lines[1] == "orjson orjson pip install 'corvana[orjson]'"
    assert "pip install 'corvana[orjson]'" in lines[2] or lines[2] == "no notes"


def test_an_open_past_the_last_process_slot_is_a_catchable_error_that_keeps_its_text(new_map):
    import resource

    if resource.getrlimit(resource.RLIMIT_NOFILE)[1] < 4096:
        pytest.skip("1024 open maps need 2048 descriptors")
    shared = new_map()
    lines = run_python(f"""
        import errno, os, pickle, resource
        from corvana import ProcessSlotsFullError
        from corvana.quillmap import quillmap
        resource.setrlimit(resource.RLIMIT_NOFILE, (4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        name = {shared.name!r}
        opened = [quillmap(name) for _ in range(1023)]  # with the test's own, every slot is held
        try:
            quillmap(name)
        except ProcessSlotsFullError as error:
            assert isinstance(error, RuntimeError) and isinstance(error, OSError)
            print(error)
            print(error.errno == errno.EBUSY, error.filename == os.fsdecode(name), error.slot_count)
            again = pickle.loads(pickle.dumps(error))
            print(type(again).__name__, str(again) == str(error), again.slot_count)
            print(getattr(error, "__notes__", ["every one of the 1024 slots"])[0][:27])
        opened.pop().close()
        quillmap(name).close()
        print("a slot given back is claimed again")
    """).splitlines()
    assert lines[0] == (f"cannot open '{os.fsdecode(shared.name)}': mm:core: every process slot of the memory "
                        f"file is in use ({os.strerror(errno.EBUSY)})")
    assert lines[1:] == ["True True 1024", "ProcessSlotsFullError True 1024", "every one of the 1024 slots",
                         "a slot given back is claimed again"]


def test_the_classes_are_exported_by_both_modules():
    for name in ("MemoryFileError", "MemoryFileNotFoundError", "MemoryFilePermissionError", "MapFullError",
                 "SerializerNotInstalledError", "DamagedFileError", "ProcessSlotsFullError"):
        assert getattr(corvana, name) is getattr(qm, name)
    assert issubclass(qm.MemoryFileError, OSError) and issubclass(qm.MapFullError, MemoryError)
    assert issubclass(qm.ProcessSlotsFullError, RuntimeError) and issubclass(qm.ProcessSlotsFullError, OSError)
