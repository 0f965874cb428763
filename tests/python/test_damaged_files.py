"""Damaged memory files: copies of a populated file with a few 8-byte words overwritten (plausible
offsets, huge values, flipped bits, zeros) are each opened and used by a fresh process, which must
neither be killed by a signal nor hang: a damaged file raises, at open or in the operation that
meets the damage. `python -m corvana check` reads them too, with an exit status for each."""
import os
import random
import shutil
import subprocess
import sys
import textwrap

from corvana.quillmap import quillmap

ROUNDS = int(os.environ.get("CORVANA_FUZZ_ROUNDS", "200"))

USE = textwrap.dedent("""
    import sys
    from corvana.quillmap import DamagedFileError, quillmap
    try:
        q = quillmap(sys.argv[1].encode())
    except Exception:
        print("refused")
        sys.exit(0)
    failures = 0
    def attempt(operation, *arguments):
        global failures
        try:
            operation(*arguments)
        except DamagedFileError as error:
            # It names the file.
            assert error.filename == sys.argv[1] and sys.argv[1] in str(error), (error.filename, str(error))
            failures += 1
        except Exception:
            failures += 1
    for key in range(0, 3000, 7):
        attempt(q.get, key)
    attempt(lambda: list(q.items()))
    for key in range(5000, 5100):
        attempt(q.insert, key, b"n" * (key % 300))
    for key in range(0, 3000, 11):
        attempt(q.remove, key)
    attempt(lambda: list(q.keys()))
    print("raised" if failures else "clean")
""")


def _populated_file():
    q = quillmap(size=8 * 1024 * 1024, bucket_chunk_size_exponent=6, bucket_chunk_number=64)
    rng = random.Random(1)
    for key in range(3000):
        q.insert(key, b"v" * rng.choice([1, 20, 100, 300, 2000]))  # inline and out-of-line values
    for key in range(0, 3000, 5):
        q.remove(key)
    name = q.name.decode()
    q.close()
    return name


def _damage(path, words, rng, used):
    with open(path, "r+b") as file:
        for _ in range(rng.randint(1, 4)):
            at = rng.choice(words) if rng.random() < 0.8 else rng.randrange(used // 8) * 8
            file.seek(at)
            old = int.from_bytes(file.read(8), "little")
            new = rng.choice([
                rng.randrange(used // 8) * 8,                     # an offset that could be one
                rng.choice([2**63 - 1, 2**64 - 1, 2**40, 2**32 + 8]),  # far out of the file
                old ^ (1 << rng.randrange(64)),                   # one flipped bit
                0,
            ])
            file.seek(at)
            file.write(new.to_bytes(8, "little"))


def _check(path):
    return subprocess.run([sys.executable, "-m", "corvana", "check", str(path)], capture_output=True, text=True,
                          timeout=60, cwd="/")


def test_damaged_copies_never_kill_or_hang_their_user(tmp_path):
    seed = int(os.environ.get("CORVANA_FUZZ_SEED", random.randrange(1 << 30)))
    print("seed", seed)
    rng = random.Random(seed)
    source = _populated_file()
    try:
        data = open(source, "rb").read()
    finally:
        os.unlink(source)
    used = len(data.rstrip(b"\0")) // 8 * 8
    words = [at for at in range(0, used, 8) if data[at:at + 8] != bytes(8)]  # most damage hits these
    original = tmp_path / "original"
    original.write_bytes(data)
    assert _check(original).returncode == 0
    outcomes = {"refused": 0, "raised": 0, "clean": 0}
    check_statuses = {}
    failures = []
    for round in range(ROUNDS):
        copy = tmp_path / f"copy{round}"
        copy.write_bytes(data)
        _damage(copy, words, rng, used)
        try:
            done = subprocess.run([sys.executable, "-c", USE, str(copy)], capture_output=True, text=True,
                                  timeout=60)
        except subprocess.TimeoutExpired:
            failures.append((round, "hung"))
            shutil.copyfile(copy, tmp_path / f"hung{round}")
            continue
        if done.returncode != 0:
            failures.append((round, done.returncode, done.stderr[-400:]))
            continue
        outcomes[done.stdout.strip()] += 1
        if round % 4 == 0:
            checked = _check(copy)
            if checked.returncode not in (0, 1, 2):
                failures.append((round, "check", checked.returncode, checked.stderr[-400:]))
            check_statuses[checked.returncode] = check_statuses.get(checked.returncode, 0) + 1
        copy.unlink()
    print("outcomes", outcomes, "check exit statuses", check_statuses)
    assert not failures, failures


def test_check_reports_each_file_with_an_exit_status(new_map, tmp_path):
    q = new_map()
    for key in range(300):
        q[key] = "v" * key
    sound = _check(q.name.decode())
    assert sound.returncode == 0 and "sound: 300 entries" in sound.stdout
    missing = _check(tmp_path / "missing")
    assert missing.returncode == 2 and "cannot be opened" in missing.stdout
    not_a_map = tmp_path / "not-a-map"
    not_a_map.write_bytes(b"\x01" * 100000)
    assert _check(not_a_map).returncode == 2
