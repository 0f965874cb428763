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


def test_a_full_file_system_is_a_full_map_not_a_crash(small_file_system):
    environment = dict(os.environ, TMPDIR=str(small_file_system))
    filler = subprocess.run([sys.executable, "-c", FILLER], env=environment, capture_output=True, text=True,
                            timeout=120)
    assert filler.returncode == 0, filler.stderr  # a SIGBUS would give -7
    name, stored, error = filler.stdout.split(" ", 2)
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
    done = subprocess.run([sys.executable, "-c", limited, q.name.decode()], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr  # SIGXFSZ would end it
    refused, filled = done.stdout.splitlines()
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
    done = subprocess.run([sys.executable, "-c", make], env=dict(os.environ, TMPDIR=str(small_file_system)),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.strip() == "bad allocation", (done.returncode, done.stderr)
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
    environment = dict(os.environ, TMPDIR=str(small_file_system))
    run = subprocess.run([sys.executable, "-c", program], env=environment, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr  # a SIGBUS would give -7
    stored, refused = map(int, run.stdout.split())
    assert stored > 1000 and refused > 0
