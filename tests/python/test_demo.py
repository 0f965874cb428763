"""The word-index demo: it runs end to end on a small corpus, and its check catches a wrong index."""
import collections
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "word_index.py"


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("word_index", DEMO)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def corpus(tmp_path):
    """Three small source files, one of them in a site-packages directory that is left out."""
    (tmp_path / "pkg").mkdir()
    (tmp_path / "site-packages").mkdir()
    (tmp_path / "a.py").write_text("def f(x):\n    return x + x  # the x\n")
    (tmp_path / "pkg" / "b.py").write_text("import os\nX = os.sep\n\nprint(X, 'f', \"def\")\n")
    (tmp_path / "site-packages" / "c.py").write_text("never counted\n")
    (tmp_path / "notes.txt").write_text("not python\n")
    return tmp_path


def test_the_demo_indexes_a_small_corpus_with_workers_and_removes_its_map(tmp_path):
    completed = subprocess.run(
        [sys.executable, str(DEMO), "--files", "30", "--workers", "3", "--bucket-chunk-size-exponent", "3"],
        capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[-1].startswith("OK"), completed.stdout + completed.stderr
    name = next(line.split()[1] for line in lines if line.startswith("map: "))
    assert not os.path.exists(name)
    growth = next(line for line in lines if line.startswith("growth: "))
    assert growth.split()[3] == "1" and int(growth.split()[-4]) > 1
    assert any(line.startswith("expansion(3): bucket chunks") for line in lines)
    assert "100.0%" in completed.stderr  # the progress bar reached the end


def test_corpus_files_and_the_single_process_index(demo, corpus):
    paths = demo.corpus_files(corpus, 0)
    assert paths == ["a.py", os.path.join("pkg", "b.py")]
    assert demo.corpus_files(corpus, 1) == ["a.py"]
    totals, records = demo.single_process_index(corpus, paths)
    assert totals == collections.Counter({"x": 6, "def": 2, "f": 2, "os": 2, "return": 1, "the": 1, "import": 1,
                                          "sep": 1, "print": 1})
    assert records["a.py"] == {"lines": 3, "words": 8, "distinct": 5}


def test_verification_reports_a_wrong_tally_and_a_stray_entry(demo, corpus, new_map):
    paths = demo.corpus_files(corpus, 0)
    shared = new_map()
    shared.insert(("#gate",), True)  # the worker passes its gate at once
    demo.worker(shared.name, 0, str(corpus), paths)
    expected_totals, expected_records = demo.single_process_index(corpus, paths)
    totals = demo.merged_totals(shared, 1)
    assert demo.verify(shared, 1, paths, expected_totals, expected_records, totals) == []

    shared.insert(("x", 0), 4)  # a lost update
    totals = demo.merged_totals(shared, 1)
    problems = demo.verify(shared, 1, paths, expected_totals, expected_records, totals)
    assert problems == ["1 word totals differ, for instance 'x': 4 != 6"]

    shared.insert(("x", 0), 6)
    shared.insert("stray", 1)
    totals = demo.merged_totals(shared, 1)
    problems = demo.verify(shared, 1, paths, expected_totals, expected_records, totals)
    assert problems == [f"the map holds {shared.element_count} entries, {shared.element_count - 1} expected"]


def test_a_missing_tally_is_an_error(demo, corpus, new_map):
    paths = demo.corpus_files(corpus, 0)
    shared = new_map()
    shared.insert(("#gate",), True)
    demo.worker(shared.name, 0, str(corpus), paths)
    shared.remove(("os", 0))
    with pytest.raises(LookupError, match="the tally of 'os' by worker 0 is missing"):
        demo.merged_totals(shared, 1)
