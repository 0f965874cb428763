"""A memory file on a file system that fills up: the writer gets an error instead of SIGBUS, nothing
stored is lost, and every process can go on using the map."""
import os
import subprocess
import sys
import textwrap

import pytest

from corvana.quillmap import quillmap

FILLER = textwrap.dedent("""
    import sys
    from corvana.quillmap import quillmap
    q = quillmap(size=64 * 1024 * 1024, bucket_chunk_size_exponent=10, bucket_chunk_number=64)
    stored = 0
    try:
        while True:
            q[stored] = b"x" * 1000
            stored += 1
    except RuntimeError as error:
        print(q.name.decode(), stored, error, flush=True)
""")


@pytest.fixture
def small_file_system(tmp_path):
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mount_point)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here: " + mounted.stderr.strip())
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=False)


def run_program(program, *arguments, directory=None):
    """Runs `program` in a new interpreter (making its maps in `directory` when given) and fails
    unless it exits with 0: a SIGBUS would give -7, SIGXFSZ -25. Returns its standard output."""
    environment = dict(os.environ, TMPDIR=str(directory)) if directory is not None else None
    done = subprocess.run([sys.executable, "-c", program, *arguments], env=environment, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, (done.returncode, done.stderr)
    return done.stdout


def test_a_full_file_system_is_a_full_map_not_a_crash(small_file_system):
    filler = run_program(FILLER, directory=small_file_system)
    name, stored, error = filler.split(" ", 2)
    stored = int(stored)
    assert stored > 100 and "out of memory" in error
    # Another process finds everything that was stored, and the map still takes changes.
    q = quillmap(name.encode())
    assert len(q) == stored
    assert all(q[key] == b"x" * 1000 for key in range(stored))
    with pytest.raises(RuntimeError, match="out of memory"):
        q[stored] = b"y" * 100000
    for key in range(stored // 2):
        del q[key]
    q["after"] = "fits again"
    assert q["after"] == "fits again" and len(q) == stored - stored // 2 + 1
    os.unlink(name)


def test_a_file_size_limit_refuses_a_new_map_and_leaves_open_ones_whole(new_map):
    q = new_map(size=16 * 1024 * 1024, bucket_chunk_size_exponent=8)
    limited = textwrap.dedent("""
        import resource, sys
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
        from corvana.quillmap import quillmap
        try:
            quillmap(size=64 * 1024 * 1024)
        except MemoryError as error:
            print("refused", error)
        q = quillmap(sys.argv[1].encode())
        stored = 0
        try:
            while True:
                q[stored] = b"x" * 500
                stored += 1
        except RuntimeError as error:
            print("filled", stored)
    """)
    refused, filled = run_program(limited, q.name.decode()).splitlines()
    assert refused == "refused bad allocation"
    stored = int(filled.split()[1])
    assert stored > 1000 and len(q) == stored and q[stored - 1] == b"x" * 500


def test_a_map_cannot_be_made_on_a_full_file_system_and_nothing_crashes(small_file_system):
    with open(small_file_system / "filler", "wb") as filler:
        try:
            while True:
                filler.write(b"\0" * (1 << 16))
                filler.flush()
        except OSError:
            pass  # the file system is full
    make = "from corvana.quillmap import quillmap\ntry:\n    quillmap(size=8 << 20)\nexcept MemoryError as e:\n    print(e)\n"
    assert run_program(make, directory=small_file_system).strip() == "bad allocation"
    assert sorted(os.listdir(small_file_system)) == ["filler"]  # the half-made file is gone


def test_bucket_pages_that_cannot_be_backed_are_an_error_not_a_crash(small_file_system):
    # 2^17 buckets take 4 MiB: more than the file system holds, so most bucket pages never get backing.
    program = textwrap.dedent("""
        from corvana.quillmap import quillmap
        q = quillmap(size=64 * 1024 * 1024, bucket_chunk_size_exponent=17, bucket_chunk_number=4)
        stored = 0
        try:
            while True:
                q[stored] = stored
                stored += 1
        except RuntimeError as error:
            assert "out of memory" in str(error), error
        refused = 0
        for key in range(200000):
            try:
                assert q.lookup(key, -1) == (key if key < stored else -1)
            except RuntimeError as error:
                assert "out of memory" in str(error), error
                refused += 1
        print(stored, refused)
    """)
    stored, refused = map(int, run_program(program, directory=small_file_system).split())
    assert stored > 1000 and refused > 0
