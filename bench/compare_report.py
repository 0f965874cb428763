"""Tables, targets, JSON and chart of bench/compare.py."""
import datetime
import json
import os
import platform

from compare_trial import PHASES

REFERENCE = "quillmap[pickle]"
RUNS = (("one", "one process"), ("two", "two processes on disjoint halves at once"))

# (label, contender, phases, minimum of quillmap ops/s divided by the contender's), one process.
TARGETS = [
    ("at least 30x Manager().dict()", "Manager().dict()", PHASES, 30.0),
    ("at least 5x LMDB, txn per op (insert, replace, remove)", "lmdb (txn per op)",
     ("insert", "replace", "remove"), 5.0),
    ("at least 1.5x LMDB, txn per op (get)", "lmdb (txn per op)", ("get",), 1.5),
    ("ahead of Redis per operation", "redis (unix socket)", PHASES, 1.0),
    ("ahead of SQLite", "sqlite3 (WAL)", PHASES, 1.0),
    ("ahead of UltraDict", "UltraDict", PHASES, 1.0),
    ("ahead of shared-memory-dict", "shared-memory-dict", PHASES, 1.0),
    ("within 2x the serialization floor", "serialization floor", PHASES, 0.5),
]
SCALING_TARGET = 1.7


def rate_text(rate):
    if rate >= 1e6:
        return f"{rate / 1e6:.2f}M"
    if rate >= 1e3:
        return f"{rate / 1e3:.1f}k"
    return f"{rate:.0f}"


def bytes_text(count):
    return f"{count / 2 ** 20:.1f}"


def machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "")
    except OSError:
        pass
    return {"processors": os.cpu_count(), "cpu": model, "python": platform.python_version(),
            "platform": platform.platform(), "load_average": os.getloadavg()}


def index_results(results):
    return {(result["keys"], result["contender"]): result for result in results}


def table(results, kind, run, reference):
    """Markdown lines: one row per contender with ops/s and the ratio to the reference."""
    header = ["contender", "N", *PHASES]
    if run == "one":
        header += ["create ms", "RSS MiB", "files MiB (allocated / size)"]
    else:
        header += ["vs its one-process run"]
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for result in results:
        if result["keys"] != kind or "skipped" in result or "error" in result:
            continue
        name = f"**{result['contender']}**" if result["contender"] == REFERENCE else result["contender"]
        if run == "two" and "two_error" in result:
            lines.append(f"| {name} | {result['n']:,} | FAILED: {result['two_error']} |" + " |" * (len(header) - 3))
            continue
        rates = result.get(run)
        if rates is None:
            continue
        cells = [name, f"{result['n']:,}"]
        for phase in PHASES:
            cell = rate_text(rates[phase])
            base = reference.get(run, {}).get(phase) if reference else None
            if base:
                cell += f" ({rates[phase] / base:.2f})"
            cells.append(cell)
        if run == "one":
            footprint = result.get("footprint") or {}
            resident = footprint.get("resident_kib", 0) + footprint.get("server_resident_kib", 0)
            files = (f"{bytes_text(footprint.get('file_allocated_bytes', 0))} / "
                     f"{bytes_text(footprint.get('file_bytes', 0))}" if footprint.get("file_bytes") else "-")
            cells += [f"{result['create_seconds'] * 1000:.1f}", f"{resident / 1024:.1f}", files]
        else:
            one = result.get("one", {})
            cells.append(" / ".join(f"{rates[phase] / one[phase]:.2f}" for phase in PHASES if one.get(phase)))
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def evaluate_targets(results, kinds):
    """Rows of (label, {kind: (measured text, met)}) for every target that could be measured."""
    by_key = index_results(results)
    rows = []
    for label, name, phases, minimum in TARGETS:
        row = {}
        for kind in kinds:
            reference, other = by_key.get((kind, REFERENCE)), by_key.get((kind, name))
            if not reference or not other or "one" not in reference or "one" not in other:
                continue
            ratios = {phase: reference["one"][phase] / other["one"][phase] for phase in phases}
            if name == "serialization floor":  # quillmap's time over the floor's, per phase
                texts = [f"{phase} {1 / ratio:.2f}x" for phase, ratio in ratios.items()]
            else:
                texts = [f"{phase} {ratio:.1f}x" for phase, ratio in ratios.items()]
            row[kind] = (", ".join(texts), all(ratio >= minimum for ratio in ratios.values()))
        rows.append((f"quillmap {label}", row))
    row = {}
    for kind in kinds:
        reference = by_key.get((kind, REFERENCE))
        if reference and "one" in reference and "two" in reference:
            ratios = {phase: reference["two"][phase] / reference["one"][phase] for phase in PHASES}
            row[kind] = (", ".join(f"{phase} {ratio:.2f}x" for phase, ratio in ratios.items()),
                         all(ratio >= SCALING_TARGET for ratio in ratios.values()))
    rows.append((f"quillmap two processes at least {SCALING_TARGET}x one process", row))
    row = {}
    for kind in kinds:
        floor = by_key.get((kind, "serialization floor"))
        if floor and "one" in floor and "two" in floor:
            ratios = {phase: floor["two"][phase] / floor["one"][phase] for phase in PHASES}
            row[kind] = (", ".join(f"{phase} {ratio:.2f}x" for phase, ratio in ratios.items()),
                         all(ratio >= SCALING_TARGET for ratio in ratios.values()))
    rows.append(("(reference, not a target) the serialization floor's two processes over one: what the "
                 "machine's second core gave in this run", row))
    return rows


def build(results, arguments, elapsed_seconds):
    kinds = [kind.strip() for kind in arguments.kinds.split(",") if kind.strip()]
    by_key = index_results(results)
    about = machine()
    lines = [
        "# quillmap against other ways to share a dictionary between processes",
        "",
        f"Run {datetime.datetime.now().isoformat(timespec='seconds')} on {about['processors']} processors "
        f"({about['cpu']}), Python {about['python']}, load average at the end "
        f"{' '.join(f'{value:.2f}' for value in about['load_average'])}; "
        f"{elapsed_seconds:.0f} s in all. N = {arguments.keys:,} keys unless the N column says fewer; "
        f"best of {arguments.repeats} rounds per phase (each round runs every contender once).",
        "",
        "Figures are operations per second. In parentheses: the contender's rate divided by quillmap[pickle]'s "
        "in the same run and phase (below 1: slower than quillmap). RSS: growth of the resident memory of "
        "the process after the insert phase, plus the whole resident memory of the store's server process "
        "where it has one. Files: disk or shared memory allocated / apparent size.",
    ]
    for kind in kinds:
        reference = by_key.get((kind, REFERENCE))
        for run, title in RUNS:
            lines += ["", f"## {kind} keys, {title}", ""]
            lines += table(results, kind, run, reference)
    lines += ["", "## Targets (one process unless stated; ratios of quillmap[pickle] to the contender)", "",
              "| target | " + " | ".join(f"{kind} keys" for kind in kinds) + " |",
              "|---|" + "---|" * len(kinds)]
    targets = evaluate_targets(results, kinds)
    for label, row in targets:
        cells = [("MET: " if row[kind][1] else "MISSED: ") + row[kind][0] if kind in row else "not measured"
                 for kind in kinds]
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    notes = []
    seen = set()
    for result in results:
        name = result["contender"]
        if "skipped" in result:
            notes.append(f"- {name} ({result['keys']} keys) skipped: {result['skipped']}")
        elif "error" in result:
            notes.append(f"- {name} ({result['keys']} keys) FAILED: {result['error']}")
        else:
            if name not in seen and result.get("note"):
                notes.append(f"- {name}: {result['note']}")
            if result.get("error_rounds"):
                notes.append(f"- {name} ({result['keys']} keys) failed in {result['error_rounds']} of "
                             f"{result['rounds']} rounds: {result.get('stderr_tail', ['?'])[-1]}")
        seen.add(name)
    lines += ["", "## Notes", ""] + notes
    return {
        "markdown": "\n".join(lines) + "\n",
        "data": {"about": about, "keys": arguments.keys, "repeats": arguments.repeats, "kinds": kinds,
                 "elapsed_seconds": elapsed_seconds, "reference": REFERENCE, "results": results,
                 "targets": [{"target": label, **{kind: {"measured": text, "met": met}
                                                  for kind, (text, met) in row.items()}}
                             for label, row in targets]},
    }


def chart(data, path):
    """A bar chart of the ops/s table: one panel per kind of key and run, log scale."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    kinds = data["kinds"]
    fig, axes = plt.subplots(len(kinds), 2, figsize=(18, 6.5 * len(kinds)), squeeze=False)
    colours = ["#4C72B0", "#55A868", "#C44E52", "#8172B2"]
    for row, kind in enumerate(kinds):
        for column, (run, title) in enumerate(RUNS):
            axis = axes[row][column]
            shown = [result for result in data["results"]
                     if result["keys"] == kind and (run in result or (run == "two" and "two_error" in result))]
            width = 0.2
            for offset, phase in enumerate(PHASES):
                positions = [index + (offset - 1.5) * width for index in range(len(shown))]
                axis.bar(positions, [result[run][phase] if run in result else 0 for result in shown], width,
                         label=phase, color=colours[offset])
            labels = [result["contender"] + (f"\nN={result['n']:,}" if result["n"] != data["keys"] else "")
                      for result in shown]
            axis.set_xticks(range(len(shown)))
            axis.set_xticklabels(labels, rotation=35, ha="right", fontsize=9)
            for tick, result in zip(axis.get_xticklabels(), shown):
                if result["contender"] == data["reference"]:
                    tick.set_fontweight("bold")
            axis.set_yscale("log")
            for index, result in enumerate(shown):
                if run not in result:  # it ran and failed its checks: no figure to show
                    axis.text(index, 0.03, "FAILED", transform=axis.get_xaxis_transform(), ha="center",
                              rotation=90, color="#C44E52", fontsize=10, fontweight="bold")
            axis.set_ylabel("operations per second (log scale)")
            axis.set_title(f"{kind} keys, {title}")
            axis.grid(axis="y", which="major", alpha=0.4)
            if shown:
                reference = next((result for result in shown if result["contender"] == data["reference"]), None)
                if reference is not None:
                    axis.axhline(min(reference[run].values()), color="grey", linewidth=0.8, linestyle=":")
            axis.legend(loc="upper right", fontsize=9, ncol=4)
    rates = [rate for result in data["results"] for run, _ in RUNS for rate in result.get(run, {}).values() if rate]
    if rates:  # one scale for every panel, so that bars compare across panels too
        for axis in axes.flat:
            axis.set_ylim(min(rates) / 1.5, max(rates) * 3)
    fig.suptitle(f"quillmap against other shared dictionaries: N = {data['keys']:,} keys unless shown, "
                 f"best of {data['repeats']} rounds (dotted line: quillmap[pickle]'s slowest phase)")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def write(report, directory):
    paths = [os.path.join(directory, name) for name in ("compare.md", "compare.json", "compare.png")]
    with open(paths[0], "w") as markdown:
        markdown.write(report["markdown"])
    with open(paths[1], "w") as data:
        json.dump(report["data"], data, indent=1)
    try:
        chart(report["data"], paths[2])
    except ImportError:
        print("matplotlib is not installed: no chart (pip install matplotlib)")
        paths.pop()
    return paths
