"""ConcurrentHashMap_pointer, the process-local map keyed by Python objects, driven through the test
extension module corvana_pointer_map_test (tests/ext), which uses the map layer's exported interface.

Buckets are chosen with explicit hashes: with B buckets per chunk and N chunks in use, a hash h lies in
bucket h mod (B * N), and an expansion moves it to the sibling bucket when bit B * N of h is set.
Every wait is bounded: threads are joined with a timeout and a possible deadlock runs in a child
interpreter that is killed when it does not finish.
"""
import faulthandler
import os
import subprocess
import sys
import threading
import time

import pytest

EXT_DIR = os.environ.get("CORVANA_TEST_EXT_DIR")
if not EXT_DIR:
    pytest.skip(
        "CORVANA_TEST_EXT_DIR is not set; it names the directory of the test module corvana_pointer_map_test "
        "(tests/ext in a native build configured with -DCORVANA_BUILD_TESTS=ON)",
        allow_module_level=True,
    )
sys.path.insert(0, EXT_DIR)
import corvana_pointer_map_test as ext  # noqa: E402

STALE = "old quillmoor is impossible to open!"
DESTROYED = "the map has been destroyed!"
REENTRY = "cannot be used from a key comparison"
JOIN_SECONDS = 30


@pytest.fixture(autouse=True)
def watchdog():
    """Ends the whole run (exit status 1, every thread's traceback on standard error: run pytest with -s
    to see it) when a test hangs, even while a waiting thread keeps the interpreter lock, when no
    thread join could time out."""
    faulthandler.dump_traceback_later(5 * JOIN_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def start(target, *args, **kwargs):
    """Runs target in a daemon thread; its exception, if any, lands in thread.errors."""
    errors = []

    def run():
        try:
            target(*args, **kwargs)
        except BaseException as error:  # reported by finish()
            errors.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.errors = errors
    thread.start()
    return thread


def finish(*threads):
    for thread in threads:
        thread.join(JOIN_SECONDS)
        assert not thread.is_alive(), "a thread did not finish: the map hangs"
        assert not thread.errors, thread.errors


def wait_until(condition, what):
    deadline = time.monotonic() + JOIN_SECONDS
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting until {what}"
        time.sleep(0.001)  # gives the interpreter lock to the other threads


class Gate:
    """A key whose __eq__, once armed, reports that it runs and then waits (interpreter lock given away)
    until it is opened, while the caller holds the bucket lock of the entry being compared."""

    def __init__(self):
        self.armed = False
        self.entered = threading.Event()
        self.opened = threading.Event()

    def __eq__(self, other):
        if self.armed:
            self.entered.set()
            assert self.opened.wait(JOIN_SECONDS)
        return self is other

    __hash__ = object.__hash__


# ---------------------------------------------------------------------------------------------------
# Names: create, open, refuse


def test_name_is_the_creating_objects_address_and_opens_the_same_map():
    m = ext.PointerMap(bucket_chunk_size_exponent=3, bucket_chunk_number=16)
    assert m.name.isdigit() and not m.name.startswith("0")
    other = ext.PointerMap(m.name, bucket_chunk_size_exponent=0, bucket_chunk_number=2)
    # the opened map's own dimensions replace the arguments
    assert (other.bucket_chunk_size, other.bucket_chunk_number) == (8, 16)
    assert other.name == m.name
    m.insert("apple", 1)
    other.insert("pear", 2)
    assert other.get("apple") == (True, 1)
    assert m.get("pear") == (True, 2)
    assert other.remove("apple") is True
    assert m.get("apple") == (False, None)
    assert m.element_count == other.element_count == 1
    # objects opened by name keep working after the creating object is gone, but the name does not
    m.close()
    assert other.get("pear") == (True, 2)
    with pytest.raises(RuntimeError, match=STALE):
        ext.PointerMap(other.name)
    other.destroy()


@pytest.mark.parametrize(
    "name, error, text",
    [
        ("abc", ValueError, "invalid stoll argument"),
        ("  ", ValueError, "invalid stoll argument"),
        ("99999999999999999999999", IndexError, "stoll argument out of range"),
        ("-99999999999999999999999", IndexError, "stoll argument out of range"),
        ("12345", RuntimeError, STALE),
        ("-7", RuntimeError, STALE),
        ("0", RuntimeError, STALE),
    ],
)
def test_names_that_are_no_live_map_are_refused(name, error, text):
    with pytest.raises(error, match=text):
        ext.PointerMap(name)
    with pytest.raises(error, match=text):
        ext.expansion_helper(name, 4)


def test_stale_names_are_refused_after_close_and_after_destroy():
    closed = ext.PointerMap()
    closed_name = closed.name
    closed.close()
    destroyed = ext.PointerMap()
    opened = ext.PointerMap(destroyed.name)
    opened.destroy()  # any object of the map may destroy it
    for name in (closed_name, destroyed.name):
        with pytest.raises(RuntimeError, match=STALE):
            ext.PointerMap(name)
    # the map's objects refuse to work on released memory; destroy happens once
    for m in (destroyed, opened):
        with pytest.raises(RuntimeError, match=DESTROYED):
            m.get("x")
        with pytest.raises(RuntimeError, match=DESTROYED):
            m.insert("x", 1)
        with pytest.raises(RuntimeError, match=DESTROYED):
            m.expansion_helper()
        m.destroy()
    # an empty name would create a map: the helper refuses it
    with pytest.raises(ValueError, match="invalid stoll argument"):
        ext.expansion_helper("", 4)


def test_constructor_arguments_are_checked():
    with pytest.raises(ValueError, match="bucket chunk number should be greater than zero!"):
        ext.PointerMap(bucket_chunk_number=0)
    with pytest.raises(RuntimeError, match="PyMem_Malloc failed!"):
        ext.PointerMap(bucket_chunk_size_exponent=62)  # 2**62 buckets of 56 bytes
    assert ext.PointerMap(bucket_chunk_size_exponent=64).bucket_chunk_size == 1  # low six bits count


# ---------------------------------------------------------------------------------------------------
# Reference counts and list shapes


def test_reference_counts_follow_ownership():
    m = ext.PointerMap(bucket_chunk_size_exponent=0, bucket_chunk_number=64)
    key, equal_key = ("k", 1000), tuple(["k", 1000])
    first, second = object(), object()
    assert key is not equal_key
    counts = lambda: (sys.getrefcount(key), sys.getrefcount(equal_key), sys.getrefcount(first), sys.getrefcount(second))  # noqa: E731
    k0, e0, f0, s0 = counts()

    m.insert(key, first)
    assert counts() == (k0 + 1, e0, f0 + 1, s0)
    # an equal key replaces the value; the stored key object stays
    m.insert(equal_key, second)
    assert counts() == (k0 + 1, e0, f0, s0 + 1)
    assert m.element_count == 1
    for _ in range(1000):
        found, value = m.get(equal_key)
        assert found and value is second
        del value
    assert counts() == (k0 + 1, e0, f0, s0 + 1)
    # expansions move entries without touching counts
    fillers = [(("filler", i), object()) for i in range(40)]
    for filler_key, filler_value in fillers:
        m.insert(filler_key, filler_value)
    assert m.bucket_chunk_in_use > 1
    assert counts() == (k0 + 1, e0, f0, s0 + 1)
    assert m.remove(key) is True
    assert counts() == (k0, e0, f0, s0)
    # destroy releases the map's memory but leaves the entries' references as they were
    filler_counts = [(sys.getrefcount(k), sys.getrefcount(v)) for k, v in fillers]
    m.destroy()
    assert [(sys.getrefcount(k), sys.getrefcount(v)) for k, v in fillers] == filler_counts


def test_lists_give_links_back_as_they_shrink():
    # one bucket in all and no room to grow: every entry shares bucket 0
    m = ext.PointerMap(bucket_chunk_size_exponent=0, bucket_chunk_number=1)
    assert m.bucket_state(0) == (0, 1)
    m.insert("only", 1)
    assert m.remove("only") is True
    assert m.bucket_state(0) == (0, 1)
    for name in "abc":
        m.insert(name, name)
    assert m.bucket_state(0) == (3, 2)
    assert m.remove("a") is True  # the last entry fills the hole
    assert m.bucket_state(0) == (2, 1)
    assert m.get("c") == (True, "c") and m.get("b") == (True, "b")
    assert m.remove("a") is False
    for index in range(100):
        m.insert(index, index)
    assert m.bucket_state(0) == (102, 51)
    for index in range(100):
        assert m.remove(index) is True
    assert m.bucket_state(0) == (2, 1)
    assert m.check()["entries"] == 2


def test_negative_hash_selects_the_bucket_of_its_unsigned_value():
    m = ext.PointerMap(bucket_chunk_size_exponent=2, bucket_chunk_number=1)
    m.insert("minus one", 1, hash=-1)
    assert [m.bucket_state(index)[0] for index in range(4)] == [0, 0, 0, 1]
    assert m.get("minus one", hash=-1) == (True, 1)
    assert m.get("minus one", hash=3) == (False, None)  # same bucket, other hash: not equal


# ---------------------------------------------------------------------------------------------------
# Key comparisons


class Raising:
    def __init__(self, label):
        self.label = label

    def __eq__(self, other):
        raise ValueError(self.label)

    __hash__ = object.__hash__


def test_a_failing_comparison_counts_as_not_equal_and_its_error_stays_pending():
    m = ext.PointerMap(bucket_chunk_size_exponent=0, bucket_chunk_number=1)
    m.insert(Raising("first"), 1, hash=5)
    with pytest.raises(ValueError, match="first"):
        m.insert(Raising("second"), 2, hash=5)
    assert m.element_count == 2  # appended: the failed comparison counted as not equal
    with pytest.raises(ValueError, match="first"):  # compared with both: the first error stays pending
        m.insert("target", 3, hash=5)
    assert m.element_count == 3
    # the walk goes on after failing comparisons and finds the equal key behind them
    found, value, error = m.probe("target", hash=5)
    assert (found, value) == (True, 3)
    assert isinstance(error, ValueError) and str(error) == "first"
    with pytest.raises(ValueError, match="first"):
        m.get("absent", hash=5)
    with pytest.raises(ValueError, match="first"):
        m.remove("target", hash=5)  # the equal entry is removed, and the pending error raised
    found, value, error = m.probe("target", hash=5)
    assert (found, value, str(error)) == (False, None, "first")
    assert m.element_count == 2
    assert m.probe("x", hash=6) == (False, None, None)  # other hashes are never compared
    assert m.check()["entries"] == 2


def test_calls_into_the_map_from_a_key_comparison_are_refused_not_deadlocked():
    m = ext.PointerMap(bucket_chunk_size_exponent=0, bucket_chunk_number=4)
    seen = []

    class Nosy:
        def __eq__(self, other):
            for call in (lambda: m.get("other"), lambda: m.insert("other", 1), m.expansion_helper,
                         lambda: ext.expansion_helper(m.name, 8), lambda: ext.PointerMap(m.name)):
                try:
                    call()
                except RuntimeError as error:
                    seen.append(str(error))
            return False

        __hash__ = object.__hash__

    m.insert(Nosy(), 1, hash=3)
    assert m.get("probe", hash=3) == (False, None)
    assert len(seen) == 5 and all(REENTRY in text for text in seen)
    assert m.expansion_workers == 0 and m.bucket_chunk_in_use == 1
    assert m.check()["entries"] == 1


def test_a_dropped_value_may_use_the_map_in_its_finalizer():
    m = ext.PointerMap(bucket_chunk_size_exponent=0, bucket_chunk_number=1)

    class Reporting:
        def __init__(self, label):
            self.label = label

        def __del__(self):
            m.insert(("dropped", self.label), True)  # same bucket as every other key

    m.insert("replaced", Reporting("by insert"))
    m.insert("replaced", 0)
    m.insert("removed", Reporting("by remove"))
    assert m.remove("removed") is True
    assert m.get(("dropped", "by insert")) == (True, True)
    assert m.get(("dropped", "by remove")) == (True, True)
    assert m.check()["entries"] == 3


DEADLOCK_SCRIPT = r"""
import sys, threading, time
sys.path.insert(0, sys.argv[1])
import corvana_pointer_map_test as ext

m = ext.PointerMap(bucket_chunk_size_exponent=0, bucket_chunk_number=1)
entered = threading.Event()

class Slow:
    armed = False
    def __eq__(self, other):
        if Slow.armed:
            entered.set()
            time.sleep(0.2)  # gives the interpreter lock away while the bucket lock is held
        return self is other
    __hash__ = object.__hash__

slow = Slow()
m.insert(slow, "slow", hash=7)
Slow.armed = True
inserting = threading.Thread(target=m.insert, args=("a", 1), kwargs={"hash": 7})
inserting.start()
assert entered.wait(30)
# The same bucket from other threads: each must wait for the lock without holding the interpreter
# lock, or the comparison above could never take it back.
others = [threading.Thread(target=m.insert, args=("b", 2), kwargs={"hash": 7}),
          threading.Thread(target=m.get, args=("a",), kwargs={"hash": 7}),
          threading.Thread(target=m.remove, args=("zz",), kwargs={"hash": 7}),
          threading.Thread(target=m.expansion_helper)]
for thread in others:
    thread.start()
for thread in [inserting] + others:
    thread.join()
Slow.armed = False
assert m.get("a", hash=7) == (True, 1) and m.get("b", hash=7) == (True, 2)
assert m.get(slow, hash=7) == (True, "slow")
m.check()
print("finished")
"""


def test_a_comparison_that_releases_the_interpreter_lock_cannot_deadlock_a_waiting_thread():
    result = subprocess.run([sys.executable, "-c", DEADLOCK_SCRIPT, EXT_DIR], capture_output=True, text=True,
                            timeout=4 * JOIN_SECONDS)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "finished"


# ---------------------------------------------------------------------------------------------------
# Expansion


def fill(m, hashes):
    entries = {}
    for hash_value in hashes:
        key = ("k", hash_value)
        m.insert(key, hash_value, hash=hash_value)
        entries[key] = hash_value
    return entries


def assert_holds(m, entries):
    for key, value in entries.items():
        assert m.get(key, hash=value) == (True, value), key
    summary = m.check()  # every entry in the bucket of its hash, no mark left, counts add up
    assert summary["entries"] == len(entries) == m.element_count
    return summary


def test_a_single_bucket_map_expands_with_a_single_participant():
    m = ext.PointerMap(bucket_chunk_size_exponent=0, bucket_chunk_number=8)
    entries = fill(m, [0, 1, 2])  # the third append makes 3 > 2 * 1 * 1: that insert expands
    assert m.bucket_chunk_in_use == 2
    assert [m.bucket_state(index)[0] for index in range(2)] == [2, 1]
    assert m.expansion_workers == 0
    assert_holds(m, entries)
    # explicitly: one more doubling
    m.expansion_helper()
    assert m.bucket_chunk_in_use == 4
    assert [m.bucket_state(index)[0] for index in range(4)] == [1, 1, 1, 0]
    assert_holds(m, entries)


def test_the_expansion_helper_joins_only_below_its_target():
    m = ext.PointerMap(bucket_chunk_size_exponent=2, bucket_chunk_number=64)
    entries = fill(m, range(8))
    ext.expansion_helper(m.name, 1)
    assert m.bucket_chunk_in_use == 1
    ext.expansion_helper(m.name, 2)
    assert m.bucket_chunk_in_use == 2
    ext.expansion_helper(m.name, 2)
    assert m.bucket_chunk_in_use == 2
    assert_holds(m, entries)


def test_a_full_table_stops_growing_and_keeps_working():
    m = ext.PointerMap(bucket_chunk_size_exponent=1, bucket_chunk_number=3)
    entries = fill(m, range(300))
    assert m.bucket_chunk_in_use == 2  # doubling to 4 would pass the 3 slots
    m.expansion_helper()
    ext.expansion_helper(m.name, 1000)
    assert m.bucket_chunk_in_use == 2 and m.expansion_workers == 0
    summary = assert_holds(m, entries)
    assert summary["longest"] == 75
    for hash_value in range(0, 300, 3):
        assert m.remove(("k", hash_value), hash=hash_value)
        del entries[("k", hash_value)]
    assert_holds(m, entries)


@pytest.mark.parametrize("exponent", [0, 2])
def test_an_expansion_waiting_for_a_busy_bucket(exponent):
    """The mover waits for a bucket whose lock a key comparison holds. Meanwhile: entries already moved
    are still found and removed; participants that arrive after the last claim leave at once (also
    when the map has a single bucket); an insert into a moved bucket waits for the end."""
    buckets = 1 << exponent
    m = ext.PointerMap(bucket_chunk_size_exponent=exponent, bucket_chunk_number=64)
    last = buckets - 1
    # every bucket gets an entry that moves, all but the last one that stays: with the gate that makes
    # 2 * B entries, not yet enough for an insert to start the expansion by itself
    entries = fill(m, [b + buckets for b in range(buckets)] + [b for b in range(last)])
    gate = Gate()
    m.insert(gate, "gate", hash=last)
    gate.armed = True
    comparing = start(m.insert, "probe", "probe", hash=last)  # holds the last bucket inside gate.__eq__
    assert gate.entered.wait(JOIN_SECONDS)
    creator = start(m.expansion_helper)  # moves buckets in ascending order, then waits for the last
    wait_until(lambda: m.is_bucket_moving(last), "the mover reaches the busy bucket")

    for b in range(last):
        moved = ("k", b + buckets)
        assert m.get(moved, hash=b + buckets) == (True, b + buckets)
    if last > 0:
        assert m.remove(("k", buckets), hash=buckets) is True
        del entries[("k", buckets)]
        assert m.get(("k", buckets), hash=buckets) == (False, None)

    late = [start(m.expansion_helper), start(ext.expansion_helper, m.name, 2)]
    finish(*late)
    assert m.expansion_workers == 1 and m.bucket_chunk_in_use == 1

    waiting_insert = start(m.insert, ("k", 1000 * buckets), "late", hash=1000 * buckets)  # bucket 0: moved
    time.sleep(0.05)
    assert waiting_insert.is_alive()
    gate.armed = False
    gate.opened.set()
    finish(comparing, creator, waiting_insert)

    assert m.bucket_chunk_in_use == 2 and m.expansion_workers == 0
    assert m.get(("k", 1000 * buckets), hash=1000 * buckets) == (True, "late")
    assert m.get("probe", hash=last) == (True, "probe")
    assert m.get(gate, hash=last) == (True, "gate")
    for key, value in entries.items():
        assert m.get(key, hash=value) == (True, value), key
    assert m.check()["entries"] == m.element_count == len(entries) + 3


class Yielding:
    """A key whose comparison now and then gives the interpreter lock away while its bucket is locked."""

    calls = 0

    def __init__(self, ident):
        self.ident = ident

    def __eq__(self, other):
        Yielding.calls += 1
        if Yielding.calls % 8 == 0:
            time.sleep(0)
        return isinstance(other, Yielding) and self.ident == other.ident

    __hash__ = object.__hash__


def test_threads_insert_remove_and_expand_together_and_every_entry_survives():
    m = ext.PointerMap(bucket_chunk_size_exponent=0, bucket_chunk_number=1 << 12)
    writers, per_writer, hashes = 4, 1200, 61
    expected = [dict() for _ in range(writers)]
    done = threading.Event()
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)

    def write(worker):
        other = ext.PointerMap(m.name) if worker % 2 else m  # half the writers use their own object
        mine = expected[worker]
        for index in range(per_writer):
            ident = (worker, index)
            other.insert(Yielding(ident), ident, hash=index % hashes)
            mine[ident] = ident
            if index % 5 == 4:
                gone = (worker, index - 2)
                assert other.remove(Yielding(gone), hash=(index - 2) % hashes) is True
                del mine[gone]
            if index % 7 == 0:
                probe = (worker, index // 2)
                assert other.get(Yielding(probe), hash=(index // 2) % hashes) == (
                    (True, probe) if probe in mine else (False, None))

    def help_expand():
        while not done.is_set():
            m.expansion_helper()
            ext.expansion_helper(m.name, 2 * m.bucket_chunk_in_use)
            time.sleep(0.001)

    try:
        helpers = [start(help_expand) for _ in range(2)]
        writing = [start(write, worker) for worker in range(writers)]
        finish(*writing)
        done.set()
        finish(*helpers)
    finally:
        sys.setswitchinterval(old_interval)

    assert m.bucket_chunk_in_use >= 64 and m.expansion_workers == 0
    everything = {ident: ident for mine in expected for ident in mine}
    for ident in everything:
        assert m.get(Yielding(ident), hash=ident[1] % hashes) == (True, ident)
    assert m.check()["entries"] == len(everything) == m.element_count
