"""The word-index demo: it runs end to end on a small corpus, on a memory file and on a Redis server
with the same result, and its check catches a wrong index."""
import collections
import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

from corvana import SharedDict

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


def run_demo(cwd, *arguments):
    """Runs the demo; returns its exit status, standard output lines and standard error."""
    completed = subprocess.run([sys.executable, str(DEMO), *arguments], capture_output=True, text=True, timeout=60,
                               cwd=cwd)
    return completed.returncode, completed.stdout.splitlines(), completed.stderr


def the_result(lines):
    """What the demo found, whatever the store: the corpus, the entries, the frequent words, OK."""
    return [line for line in lines if line.startswith(("corpus:", "entries:", "most frequent words:", "OK"))]


def test_the_demo_indexes_a_small_corpus_with_workers_and_removes_its_map(tmp_path):
    status, lines, errors = run_demo(tmp_path, "--files", "30", "--workers", "3", "--bucket-chunk-size-exponent", "3")
    assert status == 0, "\n".join(lines) + errors
    assert lines[-1].startswith("OK"), "\n".join(lines) + errors
    name = next(line.split()[1] for line in lines if line.startswith("map: "))
    assert not os.path.exists(name)
    growth = next(line for line in lines if line.startswith("growth: "))
    assert growth.split()[3] == "1" and int(growth.split()[-4]) > 1
    assert any(line.startswith("expansion(3): bucket chunks") for line in lines)
    assert "100.0%" in errors  # the progress bar reached the end


def test_the_demo_on_redis_gives_the_one_host_result_and_removes_its_hash(tmp_path, redis_server):
    arguments = ["--files", "25", "--workers", "2"]
    status, on_file, errors = run_demo(tmp_path, *arguments)
    assert status == 0, errors
    status, on_redis, errors = run_demo(tmp_path, *arguments, "--store", redis_server.url)
    assert status == 0 and on_redis[-1].startswith("OK"), "\n".join(on_redis) + errors
    assert the_result(on_redis) == the_result(on_file) and len(the_result(on_file)) == 4
    name = next(line.split()[1] for line in on_redis if line.startswith("map: "))
    with redis_server.client() as raw:
        assert name.startswith("corvana:") and raw.exists(name) == 0
    assert not any(line.startswith(("growth:", "expansion(")) for line in on_redis)


def test_the_demo_refuses_a_wrong_store_and_names_an_unreachable_one(tmp_path):
    status, _, errors = run_demo(tmp_path, "--files", "2", "--store", "mysql://x")
    assert status == 2 and "--store must be 'memory' or a redis://" in errors
    status, _, errors = run_demo(tmp_path, "--files", "2", "--store", f"unix://{tmp_path}/none.sock")
    assert status == 1 and f"ERROR: RedisConnectionError: cannot reach the Redis server at unix://{tmp_path}/none.sock" \
        in errors


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
    shared = new_map(SharedDict)
    shared[("#gate",)] = True  # the worker passes its gate at once
    demo.worker(shared, 0, str(corpus), paths)
    expected_totals, expected_records = demo.single_process_index(corpus, paths)
    totals = demo.merged_totals(shared, 1)
    assert demo.verify(shared, 1, paths, expected_totals, expected_records, totals) == []

    shared[("x", 0)] = 4  # a lost update
    totals = demo.merged_totals(shared, 1)
    problems = demo.verify(shared, 1, paths, expected_totals, expected_records, totals)
    assert problems == ["1 word totals differ, for instance 'x': 4 != 6"]

    shared[("x", 0)] = 6
    shared["stray"] = 1
    totals = demo.merged_totals(shared, 1)
    problems = demo.verify(shared, 1, paths, expected_totals, expected_records, totals)
    assert problems == [f"the map holds {len(shared)} entries, {len(shared) - 1} expected"]


def test_a_missing_tally_is_an_error(demo, corpus, new_map):
    paths = demo.corpus_files(corpus, 0)
    shared = new_map(SharedDict)
    shared[("#gate",)] = True
    demo.worker(shared, 0, str(corpus), paths)
    del shared[("os", 0)]
    with pytest.raises(LookupError, match="the tally of 'os' by worker 0 is missing"):
        demo.merged_totals(shared, 1)
