#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times parallel_sum against a serial build of the same source, and shows where a run's time goes.

For 1000 iterations the cost of a run is the cost of starting a process and a
thread team, so every configuration is timed as a whole process, over repeated
runs taken in interleaved rounds so that drift in the machine's load falls on
every configuration alike. Configurations: team sizes 1, 2, the number of CPUs
this process may run on and four times that, each under the runtime's default
wait policy, OMP_WAIT_POLICY=passive and OMP_WAIT_POLICY=active.

Two sets of runs are made:
- whole-process runs, timed with hyperfine when it is installed and otherwise
  by spawning each run and waiting for it; every command goes through env(1),
  the baseline's included, so that setting the variables costs the same on
  both sides of the ratio;
- phase runs, separate from those, with the timing interposer region_timer
  preloaded. It records when the region starts, when each thread enters and
  leaves the body, and when the region returns, on the clock this script
  reads just before it starts the process and just after it has reaped it.

Prints the tables, writes them as CSV (with a header block that records the
machine and the settings) and, with matplotlib, draws SVG figures.

    bench/run_bench.py [--rounds N] [--runs N] [--seed N] [--no-hyperfine] [--readme]
"""

import argparse
import csv
import json
import os
import platform
import random
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
PROGRAM = BUILD / "parallel_sum"
SERIAL = BUILD / "bench" / "parallel_sum_serial"
TIMER = BUILD / "bench" / "libregion_timer.so"
EXPECTED = b"sum = 499500.000000\n"
ENV = shutil.which("env") or "/usr/bin/env"
MIN_RUNS = 20  # per configuration, for a tenth of the runs on each side of p10 and p90
BOOTSTRAP_RESAMPLES = 1000
README_BEGIN = "<!-- run_bench.py: begin -->"
README_END = "<!-- run_bench.py: end -->"
# Phases of a run, from the phase runs: (key, label).
PHASES = [
    ("startup", "start-up"),
    ("team_start", "team start"),
    ("body", "body"),
    ("region_end", "end of region"),
    ("after", "after"),
    ("total", "whole run"),
]


def clean_environment():
    """This process's environment without any OpenMP runtime setting."""
    return {k: v for k, v in os.environ.items() if not k.startswith(("OMP_", "GOMP_"))}


def configurations(cores):
    """Dicts with name, threads, policy, the variables it sets and the argv that sets them
    through env(1): the baseline, then every team and policy."""
    configs = [{"name": "serial", "threads": "-", "policy": "serial build", "variables": {},
                "argv": [ENV, str(SERIAL)]}]
    for threads in sorted({1, 2, cores, 4 * cores}):
        for policy in ("default", "passive", "active"):
            variables = {"OMP_NUM_THREADS": str(threads)}
            if policy != "default":
                variables["OMP_WAIT_POLICY"] = policy
            assignments = [f"{name}={value}" for name, value in variables.items()]
            configs.append({"name": f"T={threads} {policy}", "threads": str(threads),
                            "policy": policy, "variables": variables,
                            "argv": [ENV, *assignments, str(PROGRAM)]})
    return configs


def build():
    subprocess.run(["cmake", "--workflow", "--preset", "bench"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)


def check_output(configs, env):
    """Every configuration must print the line and succeed before it is timed."""
    for config in configs:
        done = subprocess.run(config["argv"], env=env, capture_output=True, check=False)
        if done.returncode != 0 or done.stdout != EXPECTED:
            sys.exit(f"run_bench: {config['name']} printed {done.stdout!r}, "
                     f"status {done.returncode}")


# --- Whole-process runs


def time_with_hyperfine(configs, env, args, rng):
    """Wall seconds of every run, per configuration, from hyperfine's JSON."""
    wall = {c["name"]: [] for c in configs}
    with tempfile.TemporaryDirectory() as tmp:
        export = Path(tmp) / "round.json"
        for _ in range(args.rounds):
            command = ["hyperfine", "--shell=none", "--style=none", f"--warmup={args.warmup}",
                       f"--runs={args.runs}", f"--export-json={export}"]
            for config in rng.sample(configs, len(configs)):
                command += ["--command-name", config["name"], shlex.join(config["argv"])]
            done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
            if done.returncode != 0:
                sys.exit(f"run_bench: hyperfine failed:\n{done.stderr}")
            for result in json.loads(export.read_text())["results"]:
                wall[result["command"]] += result["times"]
    return wall


def spawn(argv, env, devnull):
    """One run: (wall seconds, CPU seconds, monotonic ns at spawn, monotonic ns when reaped)."""
    spawned = time.monotonic_ns()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status, usage = os.wait4(pid, 0)
    reaped = time.monotonic_ns()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"run_bench: {shlex.join(argv)} failed with status {status}")
    return (reaped - spawned) / 1e9, usage.ru_utime + usage.ru_stime, spawned, reaped


def interleaved(configs, args, rng):
    """Every configuration once per pass, in a fresh order each pass."""
    for _ in range(args.rounds * args.runs):
        yield from rng.sample(configs, len(configs))


def time_with_spawn(configs, env, args, rng):
    wall = {c["name"]: [] for c in configs}
    with open(os.devnull, "wb") as devnull:
        for config in configs * args.warmup:
            spawn(config["argv"], env, devnull.fileno())
        for config in interleaved(configs, args, rng):
            wall[config["name"]].append(spawn(config["argv"], env, devnull.fileno())[0])
    return wall


# --- Phase runs


def phase_runs(configs, env, args, rng):
    """Runs every OpenMP configuration with region_timer; per configuration a list of runs,
    each a dict of phase durations in seconds, the CPU time and the thread spans. The
    program is started directly, not through env(1), which would load the timer too."""
    runs = {c["name"]: [] for c in configs}
    with tempfile.TemporaryDirectory() as tmp, open(os.devnull, "wb") as devnull:
        record = Path(tmp) / "region.txt"
        # The interposer is named, not given as a path, and found through the
        # library path: LD_PRELOAD splits a path that holds a space.
        timer_env = dict(env, LD_PRELOAD=TIMER.name, LD_LIBRARY_PATH=str(TIMER.parent),
                         REGION_TIMER_FILE=str(record))
        for config in interleaved(configs, args, rng):
            record.write_bytes(b"")
            _, cpu, spawned, reaped = spawn([str(PROGRAM)], dict(timer_env, **config["variables"]),
                                            devnull.fileno())
            lines = record.read_text().splitlines()
            if len(lines) != 1:
                sys.exit(f"run_bench: {config['name']}: expected one region, got {len(lines)}")
            runs[config["name"]].append(phases(lines[0], spawned, reaped, cpu))
    return runs


def phases(line, spawned, reaped, cpu):
    """One region_timer record, split into the phases of the run."""
    fields = [int(f) for f in line.split()]
    start, done, team = fields[0], fields[1], fields[2]
    spans = [(fields[i] - start, fields[i + 1] - start) for i in range(3, len(fields), 2)]
    if len(spans) != team:
        sys.exit(f"run_bench: region_timer timed {len(spans)} of {team} threads")
    last_enter = max(enter for enter, _ in spans)
    last_leave = max(leave for _, leave in spans)
    return {
        "startup": (start - spawned) / 1e9,
        "region": (done - start) / 1e9,
        "team_start": last_enter / 1e9,
        "body": (last_leave - last_enter) / 1e9,
        "region_end": (done - start - last_leave) / 1e9,
        "after": (reaped - done) / 1e9,
        "total": (reaped - spawned) / 1e9,
        "cpu": cpu,
        "spans": [(enter / 1e9, leave / 1e9) for enter, leave in spans],
    }


# --- Statistics


def summary(samples, rng, slow_above=None):
    """p10, median, p90, mean with a bootstrap 95% interval, and the share above slow_above."""
    deciles = statistics.quantiles(samples, n=10, method="inclusive")
    means = sorted(statistics.fmean(rng.choices(samples, k=len(samples)))
                   for _ in range(BOOTSTRAP_RESAMPLES))
    result = {
        "runs": len(samples),
        "p10": deciles[0],
        "median": statistics.median(samples),
        "p90": deciles[-1],
        "mean": statistics.fmean(samples),
        "mean_ci_low": means[int(0.025 * BOOTSTRAP_RESAMPLES)],
        "mean_ci_high": means[int(0.975 * BOOTSTRAP_RESAMPLES) - 1],
    }
    if slow_above is not None:
        result["share_slow"] = sum(s > slow_above for s in samples) / len(samples)
    return result


def ms(seconds):
    return f"{seconds * 1e3:.2f}"


def us(seconds):
    return f"{seconds * 1e6:.0f}"


# --- Output


def machine_description(cores, timer):
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    cache = (BUILD / "CMakeCache.txt").read_text()
    found = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache, re.M)
    compiler = subprocess.run([found.group(1) if found else "c++", "--version"],
                              capture_output=True, text=True, check=False).stdout.splitlines()
    return {
        "machine": f"{model}, {cores} CPU{'s' if cores > 1 else ''} available to the process, Linux {platform.release()}",
        "compiler": compiler[0] if compiler else "unknown compiler",
        "timer": timer,
    }


def whole_process_table(configs, stats):
    lines = ["| threads | wait policy | p10 ms | median ms | p90 ms | mean ms [95% CI] "
             "| median / serial | runs > 2× serial median |",
             "| ---: | --- | ---: | ---: | ---: | --- | ---: | ---: |"]
    serial = stats["serial"]["median"]
    for config in configs:
        s = stats[config["name"]]
        lines.append(f"| {config['threads']} | {config['policy']} | {ms(s['p10'])} | "
                     f"{ms(s['median'])} | {ms(s['p90'])} | {ms(s['mean'])} "
                     f"[{ms(s['mean_ci_low'])}, {ms(s['mean_ci_high'])}] | "
                     f"{s['median'] / serial:.2f} | {s['share_slow']:.0%} |")
    return lines


def phase_table(configs, phase_stats):
    header = " | ".join(f"{label} µs" for _, label in PHASES)
    lines = [f"| threads | wait policy | {header} | CPU ms |",
             "| ---: | --- |" + " ---: |" * (len(PHASES) + 1)]
    for config in configs:
        s = phase_stats[config["name"]]
        cells = " | ".join(f"{us(s[key]['median'])} ({us(s[key]['p90'])})" for key, _ in PHASES)
        lines.append(f"| {config['threads']} | {config['policy']} | {cells} | "
                     f"{ms(s['cpu']['median'])} ({ms(s['cpu']['p90'])}) |")
    return lines


def write_csv(path, meta, configs, stats, phase_stats):
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("w", newline="") as out:
        for key, value in meta.items():
            out.write(f"# {key}: {value}\n")
        fields = ["threads", "wait_policy", "measure", "runs", "p10_ms", "median_ms", "p90_ms",
                  "mean_ms", "mean_ci_low_ms", "mean_ci_high_ms", "share_above_2x_serial"]
        writer = csv.DictWriter(out, fieldnames=fields)
        writer.writeheader()
        for config in configs:
            measures = {"whole process": stats[config["name"]]}
            measures.update(phase_stats.get(config["name"], {}))
            for measure, s in measures.items():
                row = {"threads": config["threads"], "wait_policy": config["policy"],
                       "measure": measure, "runs": s["runs"],
                       "share_above_2x_serial": s.get("share_slow", "")}
                for key in ("p10", "median", "p90", "mean", "mean_ci_low", "mean_ci_high"):
                    row[f"{key}_ms"] = f"{s[key] * 1e3:.4f}"
                writer.writerow(row)


def describe(stats, phase_stats, cores):
    """The figures that the README's advice rests on, in words."""
    def slow(name):
        return f"{stats[name]['share_slow']:.0%}"

    def team_start(name):
        return f"{us(phase_stats[name]['team_start']['median'])} µs"

    many = f"T={4 * cores} default"
    return (f"Runs taking more than twice the serial median: {slow('T=2 default')} at two "
            f"threads under the default policy, {slow('T=2 active')} under active, "
            f"{slow('T=2 passive')} under passive, and {slow(many)} at {4 * cores} threads "
            f"under the default policy. Median team start at two threads: "
            f"{team_start('T=2 default')} under the default policy, "
            f"{team_start('T=2 passive')} under passive; median end of region: "
            f"{us(phase_stats['T=2 default']['region_end']['median'])} µs and "
            f"{us(phase_stats['T=2 passive']['region_end']['median'])} µs.")


def typical_run(runs):
    """The run whose region took the median time."""
    ordered = sorted(runs, key=lambda run: run["region"])
    return ordered[len(ordered) // 2]


def have_matplotlib():
    try:
        import matplotlib
    except ImportError:
        return False
    return matplotlib is not None


def draw_figures(out_dir, configs, wall, runs, serial_median, cores):
    """Writes the two SVG figures; returns their paths, or None without matplotlib."""
    try:
        import matplotlib
        matplotlib.use("svg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError:
        return None
    matplotlib.rcParams["svg.hashsalt"] = "run_bench"  # stable element ids
    metadata = {"Date": None}
    out_dir.mkdir(parents=True, exist_ok=True)
    jitter = random.Random(0)

    fig, ax = plt.subplots(figsize=(8, 0.45 * len(configs) + 1.2))
    for row, config in enumerate(reversed(configs)):
        samples = [s * 1e3 for s in wall[config["name"]]]
        ax.scatter(samples, [row + jitter.uniform(-0.3, 0.3) for _ in samples], s=6,
                   alpha=0.4, linewidths=0, color="tab:blue")
        ax.plot([statistics.median(samples)] * 2, [row - 0.4, row + 0.4], color="black", lw=1.5)
    ax.axvline(2 * serial_median * 1e3, color="tab:red", lw=0.8, ls="--",
               label="twice the serial median")
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(matplotlib.ticker.ScalarFormatter())
    ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
    ax.set_xticks([1, 2, 4, 8, 16, 32])
    ax.set_xlim(0.8 * min(min(w) for w in wall.values()) * 1e3,
                1.2 * max(max(w) for w in wall.values()) * 1e3)
    ax.set_yticks(range(len(configs)))
    ax.set_yticklabels([c["name"] for c in reversed(configs)])
    ax.set_xlabel("whole-process time, ms (log scale); every run a point, the bar its median")
    ax.legend(loc="lower right", fontsize="small")
    fig.tight_layout()
    distribution = out_dir / "whole_process.svg"
    fig.savefig(distribution, metadata=metadata)
    plt.close(fig)

    shown = ["T=2 default", "T=2 passive", f"T={4 * cores} default"]
    fig, axes = plt.subplots(len(shown), 1, figsize=(8, 2.2 * len(shown) + 1))
    for ax, name in zip(axes, shown):
        run = typical_run(runs[name])
        region_end = run["region"] * 1e6
        for thread, (enter, leave) in enumerate(run["spans"]):
            enter, leave = enter * 1e6, leave * 1e6
            ax.plot([0, enter], [thread, thread], color="0.75", lw=1.5,
                    label="before it enters the body")
            ax.plot([enter, leave], [thread, thread], color="tab:blue", lw=6,
                    solid_capstyle="butt", marker="|", markersize=10, markeredgewidth=2,
                    label="in the body (block sum and combine)")
            ax.plot([leave, region_end], [thread, thread], color="tab:orange", lw=1.5,
                    ls=":", label="after it leaves the body")
        ax.axvline(0, color="black", lw=1)
        ax.axvline(region_end, color="black", lw=1, ls="--")
        ax.set_ylim(-0.8, len(run["spans"]) - 0.2)
        ax.set_yticks(range(len(run["spans"])))
        ax.set_ylabel("thread")
        ax.set_xlim(-0.03 * region_end, 1.03 * region_end)
        ax.set_title(f"{name}: the run with the median region, {region_end:.0f} µs",
                     fontsize="medium", loc="left")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles[:3], labels[:3], loc="lower center", ncol=3, fontsize="small")
    axes[-1].set_xlabel("µs since the region started (solid line); dashed line: the region returns")
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    timeline = out_dir / "timeline.svg"
    fig.savefig(timeline, metadata=metadata)
    plt.close(fig)
    return [distribution, timeline]


def update_readme(block):
    readme = ROOT / "README.md"
    text = readme.read_text()
    pattern = re.compile(re.escape(README_BEGIN) + ".*?" + re.escape(README_END), re.S)
    if not pattern.search(text):
        sys.exit(f"run_bench: README.md has no {README_BEGIN} ... {README_END} block")
    readme.write_text(pattern.sub(lambda _: f"{README_BEGIN}\n{block}\n{README_END}", text))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=10, help="interleaved rounds (default 10)")
    parser.add_argument("--runs", type=int, default=30,
                        help="runs of each configuration per round (default 30)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed runs first (default 3)")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed for the run order and the bootstrap (default 1)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results",
                        help="directory for the CSV and the figures (default bench/results)")
    parser.add_argument("--no-hyperfine", action="store_true",
                        help="time with the built-in spawn loop even if hyperfine is installed")
    parser.add_argument("--readme", action="store_true",
                        help="write the figures to bench/figures and the tables into README.md")
    args = parser.parse_args()
    if args.rounds < 1 or args.runs < 1 or args.warmup < 0:
        parser.error("--rounds and --runs must be at least 1, --warmup at least 0")
    if args.rounds * args.runs < MIN_RUNS:
        parser.error(f"--rounds × --runs is {args.rounds * args.runs}; the percentiles and "
                     f"intervals need at least {MIN_RUNS} runs of each configuration")

    if args.readme and not have_matplotlib():
        parser.error("--readme needs the figures, and so matplotlib: on Debian, "
                     "apt-get install python3-matplotlib and run with /usr/bin/python3")
    build()
    cores = len(os.sched_getaffinity(0))
    env = clean_environment()
    configs = configurations(cores)
    check_output(configs, env)
    rng = random.Random(args.seed)

    if shutil.which("hyperfine") and not args.no_hyperfine:
        timer = subprocess.run(["hyperfine", "--version"], capture_output=True, text=True,
                               check=True).stdout.strip()
        wall = time_with_hyperfine(configs, env, args, rng)
    else:
        timer = "posix_spawn + wait4"
        wall = time_with_spawn(configs, env, args, rng)
    parallel = configs[1:]
    runs = phase_runs(parallel, env, args, rng)

    serial_median = statistics.median(wall["serial"])
    stats = {c["name"]: summary(wall[c["name"]], rng, 2 * serial_median) for c in configs}
    phase_stats = {}
    for config in parallel:
        per_run = runs[config["name"]]
        phase_stats[config["name"]] = {
            key: summary([run[key] for run in per_run], rng)
            for key in ["region", "cpu"] + [key for key, _ in PHASES]}
    findings = describe(stats, phase_stats, cores)

    meta = machine_description(cores, timer)
    meta.update({"rounds": args.rounds, "runs per round": args.runs, "warmup": args.warmup,
                 "seed": args.seed, "command": shlex.join(["bench/run_bench.py", *sys.argv[1:]])})
    csv_path = args.out / "bench.csv"
    write_csv(csv_path, meta, configs, stats, phase_stats)
    figure_dir = ROOT / "bench" / "figures" if args.readme else args.out
    figures = draw_figures(figure_dir, configs, wall, runs, serial_median, cores)

    lines = [f"Machine: {meta['machine']}; {meta['compiler']}; timer: {timer}.",
             f"{args.rounds} rounds × {args.runs} runs of each configuration, interleaved, "
             f"seed {args.seed}; the same number again for the phases, with region_timer.",
             "", "Whole process (wall clock):", "", *whole_process_table(configs, stats), "",
             "Phases of a run, median (p90) over the phase runs; CPU is user + system time:",
             "", *phase_table(parallel, phase_stats), "", findings]
    print("\n".join(lines))
    print(f"\nCSV: {csv_path}")
    if figures is None:
        print("Figures: matplotlib is not installed; on Debian, apt-get install "
              "python3-matplotlib and run the script with /usr/bin/python3.")
    else:
        print("Figures: " + ", ".join(str(f) for f in figures))
    if args.readme:
        block = [f"Made by `{meta['command']}`:", "", *lines, ""]
        block += [f"![{title}]({figure.relative_to(ROOT)})" for title, figure in
                  zip(["Whole-process times", "Threads in the body"], figures)]
        update_readme("\n".join(block))
        print("README.md updated")


if __name__ == "__main__":
    main()
