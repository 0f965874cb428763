"""A process that closes every descriptor (as daemons do) stays alive for the others and keeps its
process slot; the map never acts on a descriptor number that such a process reused; `corvana info`
counts it among the processes that have the map open.

The tests that stop or kill a holder at a named point run it with the crash-point build of the
package (CORVANA_CRASH_PACKAGE, made by the native test build)."""
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from corvana._cli import main as corvana_main
from corvana.quillmap import _check_file, quillmap

CRASH_PACKAGE = os.environ.get("CORVANA_CRASH_PACKAGE")
needs_crash_points = pytest.mark.skipif(
    not CRASH_PACKAGE, reason="needs the crash-point build of the package (CORVANA_CRASH_PACKAGE)")

KEYS = 20000
ONE_BUCKET = dict(size=64 * 1024 * 1024, bucket_chunk_size_exponent=0, bucket_chunk_number=1)

# Opens the map, closes every descriptor but the standard ones, then opens `reuse` files so that
# the numbers the map had name other files, and answers commands read from standard input.
CLOSER = textwrap.dedent("""
    import os, sys
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    os.closerange(3, 65536)
    others = [open(sys.argv[2], "rb") for _ in range(int(sys.argv[3]))]
    print("closed", flush=True)
    for command in sys.stdin:
        command = command.split()
        if command[0] == "insert":
            for index in range(int(command[1])):
                shared[("closer", index)] = index
        elif command[0] == "get":
            print("got", shared[command[1]], flush=True)
            continue
        elif command[0] == "close":
            shared.close()
            # Descriptors the map had before are the application's now: none was closed by it.
            print("others", [len(os.read(other.fileno(), 4)) for other in others], flush=True)
            continue
        print("done", flush=True)
""")


def start_closer(name, tmp_path, reuse=0, env=None):
    other = tmp_path / "other-file"
    other.write_bytes(b"data")
    closer = subprocess.Popen([sys.executable, "-c", CLOSER, os.fsdecode(name), str(other), str(reuse)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env={**os.environ, **(env or {})})
    assert read_line(closer) == "closed"
    return closer


def read_line(process, seconds=60):
    if not select.select([process.stdout], [], [], seconds)[0]:
        process.kill()
        pytest.fail(f"no answer within {seconds} s")
    line = process.stdout.readline().strip()
    assert line, process.stderr.read()
    return line


def command(process, text):
    process.stdin.write(text + "\n")
    process.stdin.flush()
    return read_line(process)


def finish(process):
    _, errors = process.communicate(timeout=60)  # closes its standard input: the process ends
    assert process.returncode == 0, errors


def open_by(name, capsys):
    assert corvana_main(["info", os.fsdecode(name)]) == 0
    line = next(line for line in capsys.readouterr().out.splitlines() if "open by" in line)
    return int(line.split()[2])


def test_a_process_that_closed_its_descriptors_keeps_its_slot_and_loses_nothing(new_map, tmp_path, capsys):
    shared = new_map(size=64 * 1024 * 1024)
    closer = start_closer(shared.name, tmp_path)
    # Another process opens the map twice while the first inserts: neither of its mappings may take
    # the first process's slot, whose lock went with the descriptors.
    other = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import os, sys
        from corvana.quillmap import quillmap
        first, second = quillmap(os.fsencode(sys.argv[1])), quillmap(os.fsencode(sys.argv[1]))
        for index in range(int(sys.argv[2])):
            (first if index % 2 else second)[("other", index)] = index
        print("done", flush=True)
        sys.stdin.readline()
    """), os.fsdecode(shared.name), str(KEYS)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert command(closer, f"insert {KEYS}") == "done"
    assert read_line(other) == "done"
    assert open_by(shared.name, capsys) == 4  # this process, the closer, and the other one twice
    finish(other)
    assert open_by(shared.name, capsys) == 2
    finish(closer)
    assert open_by(shared.name, capsys) == 1
    keys = list(shared.keys())
    assert len(keys) == len(set(keys)) == len(shared) == 2 * KEYS
    assert all(shared[("closer", index)] == index and shared[("other", index)] == index for index in range(KEYS))
    found = _check_file(shared.name)
    assert found["entries"] == found["element_count"] == 2 * KEYS


def test_descriptor_numbers_the_application_reused_are_never_closed_by_the_map(new_map, tmp_path):
    shared = new_map()
    shared["k"] = 1
    closer = start_closer(shared.name, tmp_path, reuse=4)
    assert command(closer, "get k") == "got 1"
    assert command(closer, "close") == "others [4, 4, 4, 4]"
    finish(closer)
    assert shared["k"] == 1


@needs_crash_points
def test_a_waiter_whose_descriptor_was_reused_still_waits_for_a_live_holder(new_map, tmp_path):
    # The waiter asks whether the holder lives through a descriptor number that now names another
    # file: that file has no lock, and would say the holder is dead.
    shared = new_map(**ONE_BUCKET)
    shared["k"] = "old"
    closer = start_closer(shared.name, tmp_path, reuse=4)
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import os, sys
        from corvana.quillmap import quillmap
        shared = quillmap(os.fsencode(sys.argv[1]))
        shared["k"] = "new"
        print("finished", flush=True)
    """), os.fsdecode(shared.name)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env={**os.environ, "PYTHONPATH": CRASH_PACKAGE, "CORVANA_CRASH_AT": "change.published",
                                   "CORVANA_CRASH_ACTION": "STOP"})
    deadline = time.monotonic() + 30
    while open(f"/proc/{holder.pid}/stat").read().split(") ")[1][0] != "T":
        assert time.monotonic() < deadline, "the holder never stopped"
        time.sleep(0.01)
    closer.stdin.write("get k\n")
    closer.stdin.flush()
    assert not select.select([closer.stdout], [], [], 1.0)[0], "a stopped holder is alive: it is waited for"
    holder.send_signal(signal.SIGCONT)
    output, errors = holder.communicate(timeout=60)
    assert holder.returncode == 0 and "finished" in output, errors
    # Taken for dead, the holder would have had its change finished by the waiter, which read "new";
    # alive, it is waited for, and its change is published once.
    assert read_line(closer) == "got new"
    finish(closer)
    assert shared["k"] == "new" and len(shared) == len(list(shared.keys())) == 1
    found = _check_file(shared.name)
    assert found["entries"] == found["element_count"] == 1


@needs_crash_points
def test_a_process_that_closed_its_descriptors_takes_a_dead_holders_lock_over(new_map, tmp_path):
    shared = new_map(**ONE_BUCKET)
    shared["k"] = "old"
    closer = start_closer(shared.name, tmp_path)
    holder = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import os, sys
        from corvana.quillmap import quillmap
        quillmap(os.fsencode(sys.argv[1]))["k"] = "new"
    """), os.fsdecode(shared.name)], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "PYTHONPATH": CRASH_PACKAGE, "CORVANA_CRASH_AT": "change.published"})
    assert holder.returncode == -signal.SIGKILL, holder.stderr
    started = time.monotonic()
    assert command(closer, "get k") == "got new"
    assert time.monotonic() - started < 5
    finish(closer)
