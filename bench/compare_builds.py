"""Two builds of corvana side by side in one run: the uncontended insert, get, replace and remove of
bench/python_bench.py, run alternately with each build, so that both see the same machine at the
same time. Prints, per operation, each build's best rate and the ratio of their times.

    python bench/compare_builds.py --baseline DIR [--candidate DIR] [--keys 100000] [--rounds 6]
                                   [--key-kinds int,str]

DIR is a directory that holds a built `corvana` package (for instance made with
`pip install --target DIR <checkout>`); without --candidate, the installed corvana is the candidate.
Not a test: nothing here asserts a time."""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run_once(package_dir, keys, repeats, key_kind):
    env = dict(os.environ)
    if package_dir:
        env["PYTHONPATH"] = package_dir + os.pathsep + env.get("PYTHONPATH", "")
    output = subprocess.run([sys.executable, os.path.join(HERE, "python_bench.py"), "--keys", str(keys),
                             "--repeats", str(repeats), "--key-kind", key_kind, "--json"], env=env, check=True,
                            capture_output=True, text=True, cwd="/").stdout
    return json.loads(output.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", required=True)
    parser.add_argument("--candidate", default="")
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--key-kinds", default="int", help="comma-separated kinds of python_bench.py's --key-kind")
    arguments = parser.parse_args()
    for key_kind in arguments.key_kinds.split(","):
        compare(arguments, key_kind)


def compare(arguments, key_kind):
    best = {"baseline": {}, "candidate": {}}
    for round_number in range(arguments.rounds):
        order = ["baseline", "candidate"] if round_number % 2 == 0 else ["candidate", "baseline"]
        for build in order:
            directory = arguments.baseline if build == "baseline" else arguments.candidate
            figures = run_once(directory, arguments.keys, arguments.repeats, key_kind)
            for operation, values in figures.items():
                best[build][operation] = max(best[build].get(operation, 0.0), values["rate"])
    print(f"{arguments.keys} {key_kind} keys, pickle, best of {arguments.rounds} alternating rounds x "
          f"{arguments.repeats}")
    print(f"{'operation':<10}{'baseline ops/s':>16}{'candidate ops/s':>17}{'time ratio':>12}")
    for operation in ("insert", "get", "replace", "remove"):
        before, after = best["baseline"][operation], best["candidate"][operation]
        print(f"{operation:<10}{before:>16,.0f}{after:>17,.0f}{before / after:>12.3f}")


if __name__ == "__main__":
    main()
