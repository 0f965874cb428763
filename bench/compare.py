"""quillmap against what users pick today to share a dictionary between processes.

    pip install ".[bench]"          # the Python contenders; Redis also needs redis-server
    python bench/compare.py         # about 5 to 10 minutes on 2 cores

The same workload for every contender: N keys (100,000 ints by default, then as many string keys)
with small dict values, in four phases: insert, get in a random order, replace, remove. Each runs
in one process, then in two processes on disjoint halves at once; the creation time of the store
and its memory (resident memory after the insert phase, servers included, and file size) are taken
too. Contenders that would take minutes at the full N run with a smaller N, shown in the table.
A contender that is not installed, or cannot store the workload, is skipped with a message.

Every contender runs in a fresh interpreter (a "trial"), so that one store's memory, threads or
crash never touch another's figures. The run is made of rounds: each round runs every contender
once, and each phase keeps its best figure over the rounds, so that a busy moment of the machine
weighs on every contender alike instead of on the one that happened to run then.

Results: a Markdown table with ops/s per phase and the ratio of each contender to quillmap[pickle]
measured in the same run (bench/results/compare.md), the same as JSON (compare.json) and as a
chart (compare.png). Not a test: nothing here asserts a time.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUTPUT = os.path.join(HERE, "results")
TRIAL_TIMEOUT_SECONDS = 240


def run_one_trial(arguments):
    """In the trial's own interpreter: runs it and prints its result as one JSON line."""
    import compare_stores
    import compare_trial

    contender = compare_stores.all_contenders()[arguments.trial]
    count = min(arguments.keys, contender.max_keys or arguments.keys)
    processes = tuple(int(part) for part in arguments.processes.split(","))
    try:
        result = compare_trial.run_trial(contender, arguments.kind, count, arguments.repeats,
                                         arguments.directory or tempfile.gettempdir(), processes)
    except compare_stores.Skip as skip:
        result = {"contender": contender.name, "keys": arguments.kind, "skipped": str(skip)}
    except Exception as error:
        traceback.print_exc()
        result = {"contender": contender.name, "keys": arguments.kind, "n": count,
                  "error": compare_trial.short_error(error)}
    print(json.dumps(result))


def spawn_trial(name, kind, arguments):
    """Runs one trial (one round) in a new interpreter; returns its result, an error result if it
    failed, with the end of its standard error when it reported a failure."""
    command = [sys.executable, os.path.abspath(__file__), "--trial", name, "--kind", kind,
               "--keys", str(arguments.keys), "--repeats", "1", "--processes", arguments.processes]
    if arguments.directory:
        command += ["--directory", arguments.directory]
    try:
        completed = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   timeout=arguments.trial_timeout)
    except subprocess.TimeoutExpired:
        return {"contender": name, "keys": kind, "error": f"timed out after {arguments.trial_timeout} s"}
    lines = completed.stdout.strip().splitlines()
    try:
        result = json.loads(lines[-1])
    except (IndexError, json.JSONDecodeError):
        detail = completed.stderr.strip().splitlines()[-1:] or [f"exit status {completed.returncode}"]
        result = {"contender": name, "keys": kind, "error": f"the trial crashed: {detail[0][:300]}"}
    if "error" in result or "two_error" in result:
        result["stderr_tail"] = [line[:300] for line in completed.stderr.strip().splitlines()[-40:]]
    return result


def merge_rounds(rounds):
    """One result from the rounds of one trial: the best rate of each phase, the shortest creation,
    the first footprint. A failure in any round stands: a store that once lost entries is not
    reported by its lucky rounds."""
    merged = dict(next((result for result in rounds if "one" in result), rounds[0]))
    for run in ("one", "two"):
        rates = [result[run] for result in rounds if run in result]
        if rates:
            merged[run] = {phase: max(rate[phase] for rate in rates) for phase in rates[0]}
    creations = [result["create_seconds"] for result in rounds if "create_seconds" in result]
    if creations:
        merged["create_seconds"] = min(creations)
    for failure in ("error", "two_error"):
        failed = next((result for result in rounds if failure in result), None)
        if failed is not None:
            merged[failure] = failed[failure]
            merged["stderr_tail"] = failed.get("stderr_tail", [])
    if "error" in merged and "one" in merged:
        merged["error_rounds"] = sum("error" in result for result in rounds)
        del merged["error"]  # rounds that ran count; the table notes the failed ones
    merged["rounds"] = len(rounds)
    return merged


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=100_000, help="N, the number of keys (default 100,000)")
    parser.add_argument("--repeats", type=int, default=3,
                        help="rounds: every contender runs once per round, the best figure counts (default 3)")
    parser.add_argument("--kinds", default="int,str", help="kinds of key, from int,str (default both)")
    parser.add_argument("--contenders", default="",
                        help="comma-separated names to run (default: all); quillmap[pickle] always runs")
    parser.add_argument("--processes", default="1,2", help="process counts to run, from 1,2 (default both)")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help="directory for the results")
    parser.add_argument("--directory", default="", help="where the stores put their files (default: tmp)")
    parser.add_argument("--trial-timeout", type=int, default=TRIAL_TIMEOUT_SECONDS, help=argparse.SUPPRESS)
    parser.add_argument("--trial", help=argparse.SUPPRESS)
    parser.add_argument("--kind", default="int", help=argparse.SUPPRESS)
    arguments = parser.parse_args(argv)
    if arguments.trial:
        run_one_trial(arguments)
        return 0

    import compare_report
    import compare_stores

    if arguments.keys < 2 or arguments.repeats < 1:
        parser.error("--keys must be at least 2 and --repeats at least 1")
    known = compare_stores.all_contenders()
    names = list(known)
    if arguments.contenders:
        wanted = [name.strip() for name in arguments.contenders.split(",") if name.strip()]
        unknown = [name for name in wanted if name not in known]
        if unknown:
            parser.error(f"unknown contenders {unknown}; known: {', '.join(known)}")
        names = [name for name in names if name in wanted or name == compare_report.REFERENCE]
    kinds = [kind.strip() for kind in arguments.kinds.split(",") if kind.strip()]
    if not kinds or any(kind not in ("int", "str") for kind in kinds):
        parser.error("--kinds takes int, str or int,str")

    started = time.monotonic()
    rounds = {(kind, name): [] for kind in kinds for name in names}
    skipped = {}
    for round_number in range(1, arguments.repeats + 1):
        for kind in kinds:
            for name in names:
                if (kind, name) in skipped:
                    continue
                sys.stderr.write(f"round {round_number}/{arguments.repeats}  {kind:3} keys  {name:<22} ")
                sys.stderr.flush()
                trial_started = time.monotonic()
                result = spawn_trial(name, kind, arguments)
                rounds[kind, name].append(result)
                if "skipped" in result:
                    skipped[kind, name] = result
                outcome = (f"skipped: {result['skipped']}" if "skipped" in result else
                           f"ERROR: {result['error']}" if "error" in result else
                           f"N={result['n']:,}" + (f"  two processes FAILED: {result['two_error']}"
                                                   if "two_error" in result else ""))
                sys.stderr.write(f"{time.monotonic() - trial_started:6.1f} s  {outcome}\n")
    results = [skipped.get(key) or merge_rounds(trials) for key, trials in rounds.items()]
    elapsed = time.monotonic() - started

    os.makedirs(arguments.output, exist_ok=True)
    report = compare_report.build(results, arguments, elapsed)
    paths = compare_report.write(report, arguments.output)
    print(report["markdown"])
    print("written: " + ", ".join(paths))
    return 0


if __name__ == "__main__":
    sys.exit(main())
