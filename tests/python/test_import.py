"""Importing corvana.quillmap: module attributes, repeated import, optional serializers, checks of
the siblings' native names, retrying a failed import and refusing a second interpreter. Each case
that changes import state runs in its own interpreter."""
import pytest

import corvana.quillmap as qm
from corvana.pellrook import pellrook

from conftest import run_in_second_interpreter, run_python


def test_module_attributes():
    import logging
    import multiprocessing
    import os
    import pathlib
    import typing
    from logging.handlers import RotatingFileHandler

    assert qm.logging is logging and qm.Path is pathlib.Path and qm.RotatingFileHandler is RotatingFileHandler
    assert qm.multiprocessing is multiprocessing and qm.os is os and qm.Callable is typing.Callable
    assert qm.pickle.__name__ == "pickle" and qm.json.__name__ == "json"
    assert qm.quillmap.__bases__ == (pellrook,)
    assert qm.quillmap.__module__ == "corvana.quillmap"
    assert qm.__test__ == {}
    for name in ("dict_insert", "dict_get", "dict_remove", "dict_expansion"):
        function = getattr(qm, name)
        assert function.__module__ == "corvana.quillmap" and function.__name__ == name


def test_repeated_import_gives_the_same_module():
    out = run_python("""
        import sys
        import corvana.quillmap as first
        first.__test__["marker"] = 1
        del sys.modules["corvana.quillmap"]
        import corvana.quillmap as second
        print(second is first, second.__test__, "msgspec.json" in sys.modules)
    """)
    assert out.split() == ["True", "{'marker':", "1}", "True"]


def test_missing_optional_serializers():
    out = run_python("""
        import sys
        for name in ("orjson", "msgpack", "msgspec"):
            sys.modules[name] = None
        import corvana.quillmap as qm
        print([hasattr(qm, name) for name in ("orjson", "msgpack", "msgspec", "pickle", "json")])
        try:
            qm.quillmap(serializer="msgpack", size=1 << 20, bucket_chunk_size_exponent=2)
        except NameError as error:
            print(error)
    """)
    assert out.splitlines() == ["[False, False, False, True, True]", "name 'msgpack' is not defined"]


def test_missing_sibling_entry_fails_the_import_which_can_be_retried():
    out = run_python("""
        import corvana.tarnwick as tarnwick
        saved = tarnwick.__native_api__.pop("mmap_privilege")
        try:
            import corvana.quillmap
        except ImportError as error:
            print(type(error).__name__, error)
            names = []
            tb = error.__traceback__
            while tb:
                names.append(tb.tb_frame.f_code.co_name)
                tb = tb.tb_next
            print("init corvana.quillmap" in names)
        tarnwick.__native_api__["mmap_privilege"] = saved
        import corvana.quillmap as qm
        q = qm.quillmap(size=1 << 20, bucket_chunk_size_exponent=2)
        q.insert(1, 2)
        print(q.get(1))
        import os
        os.unlink(q.name)
    """)
    assert out.splitlines() == [
        "ImportError corvana.tarnwick does not export expected C variable mmap_privilege",
        "True",
        "[True, 2]",
    ]


def test_wrong_signature_and_bad_types_are_refused():
    out = run_python("""
        import ctypes
        import corvana.pellrook as pellrook
        import corvana.tarnwick as tarnwick
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        saved = pellrook.__native_api__["hash_key"]
        pellrook.__native_api__["hash_key"] = new_capsule(1, b"int (void)", None)
        try:
            import corvana.quillmap
        except TypeError as error:
            print(error)
        pellrook.__native_api__["hash_key"] = saved
        real_array2d = tarnwick.array2d
        tarnwick.array2d = 5
        try:
            import corvana.quillmap
        except TypeError as error:
            print(error)
        tarnwick.array2d = real_array2d
        import corvana.quillmap
        print("imported")
    """)
    assert out.splitlines() == [
        "C function corvana.pellrook.hash_key has wrong signature "
        "(expected Py_ssize_t (struct pellrook *, PyObject *), got int (void))",
        "corvana.tarnwick.array2d is not a type object",
        "imported",
    ]


def test_a_second_interpreter_is_refused():
    out = run_in_second_interpreter("import corvana.quillmap", first="import corvana.quillmap")
    if out is None:
        pytest.skip("this Python has no module to create interpreters with")
    # From 3.12 on, the import system itself refuses a module made for one interpreter, first.
    assert ("Interpreter change detected - this module can only be loaded into one interpreter per process." in out
            or "does not support loading in subinterpreters" in out), out


def test_sibling_helpers():
    from corvana.tarnwick import array2d, atomic_object

    cell = atomic_object(5)
    assert cell.fetch_add(3) == 5 and cell.load() == 8
    cell.store(-1)
    assert cell.load() == -1
    grid = array2d(2, 3)
    assert grid.shape == (2, 3)
    view = memoryview(grid)
    assert view.shape == (2, 3) and view.format == "q" and view.tolist() == [[0] * 3] * 2
    view[1, 2] = 7
    assert memoryview(grid)[1, 2] == 7
    with pytest.raises(ValueError):
        array2d(-1, 2)


def test_importing_corvana_loads_nothing_else_and_knows_its_version():
    out = run_python("""
        import sys
        import corvana
        print(sorted(name for name in sys.modules if name.startswith("corvana")))
        print(corvana.__version__ != "0+unknown", "corvana.quillmap" in sys.modules)
        corvana.SharedDict
        print("corvana.quillmap" in sys.modules, corvana.MapFullError is sys.modules["corvana.quillmap"].MapFullError)
    """)
    assert out.splitlines() == ["['corvana']", "True False", "True True"]


def test_the_metadata_claims_the_pythons_it_is_tested_on():
    """Requires-Python and the version classifiers name the same CPython versions (those CI tests),
    and the running interpreter is one of them."""
    import sys
    from importlib import metadata

    from packaging.specifiers import SpecifierSet

    package = metadata.metadata("corvana")
    admitted = SpecifierSet(package["Requires-Python"])
    claimed = {classifier.rsplit(" :: ", 1)[1] for classifier in package.get_all("Classifier")
               if classifier.startswith("Programming Language :: Python :: 3.")}
    assert claimed == {f"3.{minor}" for minor in range(40) if f"3.{minor}" in admitted}
    assert "{}.{}".format(*sys.version_info[:2]) in claimed
