"""Gets with and without the bucket lock, and the bucket version's cost to changes, in one run: runs
bench/read_bench.cpp built from this checkout (the candidate) and, optionally, built from the code
before the optimistic read (the baseline), in alternating rounds, so that both see the same machine
at the same time. Prints per figure the median over the rounds, and the median of the per-round
ratios: optimistic / locked within each candidate run (same binary, measured back to back), and
candidate / baseline for the changes and the locked gets (adjacent runs).

    python bench/read_compare.py --candidate BUILD/bench/read_bench [--baseline OTHER/bench/read_bench]
                                 [--rounds 9]

Not a test: nothing here asserts a time."""
import argparse
import collections
import statistics
import subprocess


def run_once(binary, round_number):
    output = subprocess.run([binary, str(round_number)], check=True, capture_output=True, text=True).stdout
    figures = {}
    for line in output.splitlines():
        parts = line.split()
        if len(parts) == 3 and not line.startswith("!!"):
            figures[(parts[0], parts[1])] = float(parts[2])
        else:
            print("  " + line)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--candidate", required=True)
    parser.add_argument("--baseline", default="")
    parser.add_argument("--rounds", type=int, default=9)
    arguments = parser.parse_args()
    runs = collections.defaultdict(list)  # build -> one figures dict per round
    for round_number in range(arguments.rounds):
        builds = ["candidate", "baseline"] if arguments.baseline else ["candidate"]
        if round_number % 2 == 1:
            builds.reverse()
        for build in builds:
            binary = arguments.candidate if build == "candidate" else arguments.baseline
            runs[build].append(run_once(binary, round_number))
    report(runs, arguments.rounds)


def median_of(runs, key):
    values = [figures[key] for figures in runs if key in figures]
    return statistics.median(values) if values else float("nan")


def median_ratio(pairs):
    ratios = [top / bottom for top, bottom in pairs if bottom > 0]
    return statistics.median(ratios) if ratios else float("nan")


def report(runs, rounds):
    candidate = runs["candidate"]
    baseline = runs.get("baseline", [])
    print(f"medians of {rounds} alternating rounds (operations per second, summed over processes)")
    cpu = median_ratio((figures[("cpu-2p", "-")], figures[("cpu-1p", "-")]) for figures in candidate)
    print(f"calibration: pure arithmetic in 2 processes ran {cpu:.2f}x as fast as in 1 (2.00: two free cores)")
    scenarios = [scenario for scenario, mode in candidate[0] if mode == "optimistic"]
    header = f"{'gets':<20}{'locked':>14}{'optimistic':>14}{'opt/locked':>12}"
    if baseline:
        header += f"{'baseline locked':>17}{'cand/base locked':>18}"
    print(header)
    for scenario in scenarios:
        locked = median_of(candidate, (scenario, "locked"))
        optimistic = median_of(candidate, (scenario, "optimistic"))
        gain = median_ratio((figures[(scenario, "optimistic")], figures[(scenario, "locked")]) for figures in candidate)
        line = f"{scenario:<20}{locked:>14,.0f}{optimistic:>14,.0f}{gain:>12.3f}"
        if baseline:
            base = median_of(baseline, (scenario, "locked"))
            versus = median_ratio((ours[(scenario, "locked")], theirs[(scenario, "locked")])
                                  for ours, theirs in zip(candidate, baseline))
            line += f"{base:>17,.0f}{versus:>18.3f}"
        print(line)
    if not baseline:
        return
    print(f"{'changes':<20}{'candidate':>14}{'baseline':>14}{'cand/base':>12}")
    for scenario in ("writes-insert", "writes-replace", "writes-remove"):
        key = (scenario, "-")
        versus = median_ratio((ours[key], theirs[key]) for ours, theirs in zip(candidate, baseline))
        print(f"{scenario:<20}{median_of(candidate, key):>14,.0f}{median_of(baseline, key):>14,.0f}{versus:>12.3f}")


if __name__ == "__main__":
    main()
