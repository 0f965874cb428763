"""A process that is stopped (SIGSTOP, a debugger) while it holds a lock of the map is alive: the
others wait for it. Ctrl-C ends every such wait in the main thread with KeyboardInterrupt, and
lock_timeout bounds it with LockTimeoutError; either way the waiting operation changed nothing, and
everything goes on once the holder is continued.

These tests stop a process at a named point with the crash-point build of the package."""
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import needs_crash_points, start_crash_build, wait_until_stopped
from corvana import LockTimeoutError, SharedDict
from corvana.quillmap import quillmap

pytestmark = needs_crash_points

ONE_BUCKET = dict(size=16 * 1024 * 1024, bucket_chunk_size_exponent=0, bucket_chunk_number=1)
GROWING = dict(size=16 * 1024 * 1024, bucket_chunk_size_exponent=0, bucket_chunk_number=16)

HOLDER = """
    import os, sys
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    shared[sys.argv[2]] = "held"
    print("finished", flush=True)
"""


@pytest.fixture
def stopped_holder(new_map):
    """A filled one-bucket map whose bucket lock a stopped process holds, inside an insert of
    "victim"; continued and finished at the end of the test."""
    shared = new_map(**ONE_BUCKET)
    for index in range(10):
        shared[f"key-{index}"] = index
    holder = start_crash_build(HOLDER, os.fsdecode(shared.name), "victim", point="change.published", action="STOP")
    wait_until_stopped(holder)
    yield shared
    holder.send_signal(signal.SIGCONT)
    output, errors = holder.communicate(timeout=60)
    assert holder.returncode == 0 and "finished" in output, errors


def interrupt_after(process, seconds=0.7):
    """Sends SIGINT once `process` has waited `seconds`; returns its output once it ended, failing
    the test when Ctrl-C did not end it within a few seconds."""
    assert process.stdout.readline().strip() == "waiting", process.stderr.read()
    time.sleep(seconds)
    assert process.poll() is None, "the operation did not wait for the stopped holder"
    process.send_signal(signal.SIGINT)
    try:
        output, errors = process.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        pytest.fail("Ctrl-C did not end the wait")
    return output, errors


WAITER = """
    import os, sys
    from corvana import SharedDict
    shared = SharedDict(sys.argv[1])
    print("waiting", flush=True)
    try:
        {operation}
        print("done")
    except KeyboardInterrupt:
        print("interrupted")
"""

OPERATIONS = {
    "get": 'shared["key-1"]',
    "set": 'shared["key-1"] = 1',
    "items": "list(shared.items())",
    "keys": "list(shared.keys())",
    "copy": "shared.copy()",
    "popitem": "shared.popitem()",
    "clear": "shared.clear()",
}


@pytest.mark.parametrize("operation", OPERATIONS)
def test_ctrl_c_ends_a_wait_for_a_stopped_holder_with_nothing_changed(stopped_holder, operation):
    waiter = subprocess.Popen([sys.executable, "-c", textwrap.dedent(WAITER).format(operation=OPERATIONS[operation]),
                               os.fsdecode(stopped_holder.name)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
    output, errors = interrupt_after(waiter)
    assert waiter.returncode == 0 and output.strip() == "interrupted", errors
    with pytest.raises(LockTimeoutError):
        # Nothing was removed or changed: the stopped holder still has the bucket.
        quillmap(stopped_holder.name, lock_timeout=0.05)["key-1"]


def test_ctrl_c_ends_the_checker_waiting_for_a_stopped_holder(stopped_holder):
    checker = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys
        from corvana._cli import main
        print("waiting", flush=True)
        try:
            main(["check", sys.argv[1]])
        except KeyboardInterrupt:
            print("interrupted")
    """), os.fsdecode(stopped_holder.name)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    output, errors = interrupt_after(checker)
    assert checker.returncode == 0 and output.strip().endswith("interrupted"), errors


def test_lock_timeout_ends_waits_with_nothing_changed(stopped_holder):
    shared = SharedDict(stopped_holder.name, lock_timeout=0.2)
    assert shared.lock_timeout == pytest.approx(0.2)
    for operation in (lambda: shared["key-1"], lambda: shared.__setitem__("new", 1), lambda: list(shared.items()),
                      lambda: shared.pop("key-2"), lambda: shared.setdefault("new", 2)):
        started = time.monotonic()
        with pytest.raises(LockTimeoutError) as raised:
            operation()
        assert isinstance(raised.value, TimeoutError)
        assert 0.15 < time.monotonic() - started < 5
    assert pickle.loads(pickle.dumps(shared)).lock_timeout == pytest.approx(0.2)
    shared.lock_timeout = None
    assert shared.lock_timeout is None
    shared.close()


def test_lock_timeout_values_are_checked(new_map):
    shared = new_map()
    for wrong, error in ((-1, ValueError), (float("nan"), ValueError), ("1", TypeError), (True, TypeError)):
        with pytest.raises(error, match="lock_timeout"):
            quillmap(shared.name, lock_timeout=wrong)
        with pytest.raises(error, match="lock_timeout"):
            shared.lock_timeout = wrong
    assert quillmap(shared.name, lock_timeout=0).lock_timeout > 0, "0 asks for the shortest wait, not none"


CREATOR = """
    import os, sys
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    shared["third"] = 3
    print("finished", flush=True)
"""

INSERTER = """
    import os, sys
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]), lock_timeout=float(sys.argv[2]) or None)
    print("waiting", flush=True)
    try:
        shared["fourth"] = 4
        print("done")
    except KeyboardInterrupt:
        print("interrupted")
"""


@pytest.mark.parametrize("ends_by", ["ctrl-c", "lock_timeout"])
def test_an_insert_waiting_for_a_stopped_creator_of_new_buckets_ends(new_map, ends_by):
    shared = new_map(**GROWING)
    shared["first"], shared["second"] = 1, 2
    # The third entry in one bucket starts a doubling; its creator stops once it has marked the table.
    creator = start_crash_build(CREATOR, os.fsdecode(shared.name), point="expansion.marked", action="STOP")
    wait_until_stopped(creator)
    inserter = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INSERTER), os.fsdecode(shared.name),
                                 "0" if ends_by == "ctrl-c" else "0.3"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if ends_by == "ctrl-c":
        output, errors = interrupt_after(inserter)
        assert inserter.returncode == 0 and output.strip() == "interrupted", errors
    else:
        output, errors = inserter.communicate(timeout=30)
        # Its entry was stored before it joined the doubling, which it handed over at the timeout.
        assert inserter.returncode == 0 and output.split() == ["waiting", "done"], errors
    assert shared["fourth"] == 4
    creator.send_signal(signal.SIGCONT)
    output, errors = creator.communicate(timeout=60)
    assert creator.returncode == 0 and "finished" in output, errors
    shared["fifth"] = 5  # joins the doubling if it still needs somebody
    assert shared.bucket_chunk_in_use >= 2
    assert dict(shared.items()) == {"first": 1, "second": 2, "third": 3, "fourth": 4, "fifth": 5}
    assert len(shared) == 5
