"""Instructions per insert, get, replace and remove from Python, counted by valgrind's callgrind for
two builds of corvana side by side: a count does not change with the load of a shared machine, so
small differences between builds show where timings drown in noise.

    python bench/instructions_bench.py --baseline DIR [--candidate DIR] [--keys 20000]
                                       [--key-kinds int,str,tuple,frozenset]

DIR is a directory that holds a built `corvana` package (for instance made with
`pip install --target DIR <checkout>`); without --candidate, the installed corvana is the candidate.
Each operation's count is the difference between runs that stop before and after its loop over all
keys, divided by the number of keys (so interpreter start-up and the other loops cancel out). Needs
valgrind. Not a test: nothing here asserts a count.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

OPERATIONS = ("insert", "get", "replace", "remove")

# Runs the first `stage` loops of OPERATIONS over the keys of one kind.
PROGRAM = """
import os, sys
from corvana.quillmap import quillmap
kind, stage, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
make = {"int": lambda i: i, "str": lambda i: f"key{i}", "tuple": lambda i: ("user", i, f"k{i}"),
        "frozenset": lambda i: frozenset({f"t{i}", f"u{i}"})}[kind]
keys = [make(i) for i in range(count)]
values = [{"id": i, "name": "item"} for i in range(count)]
q = quillmap(size=256 * 1024 * 1024, bucket_chunk_size_exponent=16, bucket_chunk_number=64)
insert, get, remove = q.insert, q.get, q.remove


def insert_all():  # stage 1 inserts, stage 3 replaces
    for key, value in zip(keys, values):
        insert(key, value)


def get_all():
    for key in keys:
        get(key)


def remove_all():
    for key in keys:
        remove(key)


try:
    for loop in [insert_all, get_all, insert_all, remove_all][:stage]:
        loop()
finally:
    os.unlink(q.name)
"""


def instructions(package_dir, kind, stage, keys):
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    if package_dir:
        env["PYTHONPATH"] = package_dir + os.pathsep + env.get("PYTHONPATH", "")
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", PROGRAM,
                        kind, str(stage), str(keys)], env=env, check=True, capture_output=True, cwd="/")
        with open(out) as counts:
            return int(re.search(r"^totals: (\d+)", counts.read(), re.MULTILINE).group(1))


def per_operation(package_dir, kind, keys):
    totals = [instructions(package_dir, kind, stage, keys) for stage in range(len(OPERATIONS) + 1)]
    return {operation: (totals[index + 1] - totals[index]) / keys for index, operation in enumerate(OPERATIONS)}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", required=True)
    parser.add_argument("--candidate", default="")
    parser.add_argument("--keys", type=int, default=20_000)
    parser.add_argument("--key-kinds", default="int,str,tuple,frozenset")
    arguments = parser.parse_args()
    print(f"{arguments.keys} keys, pickle, instructions per operation (callgrind)")
    print(f"{'keys':<11}{'operation':<10}{'baseline':>12}{'candidate':>12}{'ratio':>9}")
    for kind in arguments.key_kinds.split(","):
        before = per_operation(arguments.baseline, kind, arguments.keys)
        after = per_operation(arguments.candidate, kind, arguments.keys)
        for operation in OPERATIONS:
            print(f"{kind:<11}{operation:<10}{before[operation]:>12,.0f}{after[operation]:>12,.0f}"
                  f"{after[operation] / before[operation]:>9.3f}")


if __name__ == "__main__":
    main()
