"""How long survivors wait for a lock whose holder was killed: a writer stops inside its change (the
crash-point build of the package), a reader starts waiting on the same bucket, the writer is
SIGKILLed, and the reader's get is timed from the kill to its return. Prints the median and the
worst of several rounds.

    CORVANA_CRASH_PACKAGE=<build>/tests/crash_package python bench/recovery_bench.py [--rounds 20]

Not a test: nothing here asserts a time."""
import argparse
import os
import signal
import statistics
import subprocess
import sys
import textwrap
import time

WRITER = textwrap.dedent("""
    import os, sys
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    shared["victim"] = "v" * 10240
""")

READER = textwrap.dedent("""
    import os, sys, time
    from corvana.quillmap import quillmap
    shared = quillmap(os.fsencode(sys.argv[1]))
    print("ready", flush=True)
    sys.stdin.readline()  # the writer is stopped inside its change: this get waits for its lock
    shared["key-1"]
    print(time.monotonic(), flush=True)
""")


def process_state(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().split(") ")[1][0]


def one_round(name, crash_package):
    env = {**os.environ, "PYTHONPATH": crash_package, "CORVANA_CRASH_AT": "change.published",
           "CORVANA_CRASH_ACTION": "STOP"}
    writer = subprocess.Popen([sys.executable, "-c", WRITER, name], env=env, cwd="/")
    while process_state(writer.pid) != "T":
        time.sleep(0.001)
    reader = subprocess.Popen([sys.executable, "-c", READER, name], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              cwd="/", text=True)
    assert reader.stdout.readline().strip() == "ready"
    reader.stdin.write("go\n")
    reader.stdin.flush()
    time.sleep(0.05)  # the reader is asleep on the lock by now
    killed_at = time.monotonic()
    os.kill(writer.pid, signal.SIGKILL)
    writer.wait()
    done_at = float(reader.stdout.readline())
    reader.wait()
    return done_at - killed_at


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=20)
    arguments = parser.parse_args()
    crash_package = os.environ.get("CORVANA_CRASH_PACKAGE")
    if not crash_package:
        sys.exit("set CORVANA_CRASH_PACKAGE to the crash-point build of the package")
    sys.path.insert(0, crash_package)
    from corvana.quillmap import quillmap
    shared = quillmap(size=64 * 1024 * 1024, bucket_chunk_size_exponent=0, bucket_chunk_number=1)
    try:
        for index in range(10):
            shared[f"key-{index}"] = str(index) * 1000
        name = os.fsdecode(shared.name)
        times = []
        for _ in range(arguments.rounds):
            times.append(one_round(name, crash_package))
            shared.pop("victim", None)
    finally:
        os.unlink(shared.name)
    print(f"kill to recovery over {len(times)} rounds: median {statistics.median(times) * 1e3:.1f} ms, "
          f"worst {max(times) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
