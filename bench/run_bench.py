#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times parallel_sum against a serial build of the same source.

For 1000 iterations the cost of a run is the cost of starting a process and a
thread team, so both programs are timed as whole processes, over repeated runs
taken in interleaved rounds so that drift in the machine's load falls on every
configuration alike. Configurations: team sizes 1, 2, the number of cores and
four times that, each under the runtime's default wait policy,
OMP_WAIT_POLICY=passive and OMP_WAIT_POLICY=active.

Every command is started through env(1), the baseline included, so that the
cost of setting the variables is the same on both sides of the ratio.

Timing uses hyperfine when it is installed (one hyperfine call per round, with
the configurations in a fresh random order each round) and otherwise spawns
each run itself and waits for it with wait4(), which also gives the run's CPU
time. Prints a Markdown table and writes the same figures as CSV.

    bench/run_bench.py [--rounds N] [--runs N] [--csv PATH] [--no-hyperfine]
"""

import argparse
import csv
import json
import os
import platform
import random
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
EXPECTED = b"sum = 499500.000000\n"
ENV = shutil.which("env") or "/usr/bin/env"


def clean_environment():
    """This process's environment without any OpenMP runtime setting."""
    return {k: v for k, v in os.environ.items() if not k.startswith(("OMP_", "GOMP_"))}


def configurations(cores):
    """(name, threads, policy, argv) for the baseline and every team/policy pair."""
    configs = [("serial", "-", "serial build", [ENV, str(SERIAL)])]
    for threads in sorted({1, 2, cores, 4 * cores}):
        for policy in ("default", "passive", "active"):
            assignments = [f"OMP_NUM_THREADS={threads}"]
            if policy != "default":
                assignments.append(f"OMP_WAIT_POLICY={policy}")
            name = f"T={threads} {policy}"
            configs.append((name, str(threads), policy, [ENV, *assignments, str(PROGRAM)]))
    return configs


def build():
    for step in (["cmake", "--preset", "bench"], ["cmake", "--build", "--preset", "bench"]):
        subprocess.run(step, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def check_output(configs, env):
    """Every configuration must print the line and succeed before it is timed."""
    for name, _, _, argv in configs:
        done = subprocess.run(argv, env=env, capture_output=True, check=False)
        if done.returncode != 0 or done.stdout != EXPECTED:
            sys.exit(f"run_bench: {name} printed {done.stdout!r}, status {done.returncode}")


def time_with_hyperfine(configs, env, rounds, runs, warmup, rng):
    """Wall times per run and the mean CPU time per run, from hyperfine's JSON."""
    wall = {c[0]: [] for c in configs}
    cpu = {c[0]: [] for c in configs}
    with tempfile.TemporaryDirectory() as tmp:
        export = Path(tmp) / "round.json"
        for _ in range(rounds):
            order = rng.sample(configs, len(configs))
            command = ["hyperfine", "--shell=none", "--style=none", f"--warmup={warmup}",
                       f"--runs={runs}", f"--export-json={export}"]
            for name, _, _, argv in order:
                command += ["--command-name", name, shlex.join(argv)]
            done = subprocess.run(command, env=env, capture_output=True, text=True,
                                  check=False)
            if done.returncode != 0:  # its advice on outliers is noise otherwise
                sys.exit(f"run_bench: hyperfine failed:\n{done.stderr}")
            for result in json.loads(export.read_text())["results"]:
                wall[result["command"]] += result["times"]
                # hyperfine reports CPU time only as a mean over the round's runs.
                cpu[result["command"]] += [result["user"] + result["system"]] * runs
    return wall, cpu


def run_once(argv, env, devnull):
    """Wall and CPU seconds of one whole run; the run must succeed."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env,
                         file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1)])
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"run_bench: {' '.join(argv)} failed with status {status}")
    return elapsed, usage.ru_utime + usage.ru_stime


def time_with_spawn(configs, env, rounds, runs, warmup, rng):
    """Interleaves single runs of every configuration, in a new order each pass."""
    wall = {c[0]: [] for c in configs}
    cpu = {c[0]: [] for c in configs}
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        for _ in range(warmup):
            for _, _, _, argv in configs:
                run_once(argv, env, devnull)
        for _ in range(rounds * runs):
            for name, _, _, argv in rng.sample(configs, len(configs)):
                elapsed, used = run_once(argv, env, devnull)
                wall[name].append(elapsed)
                cpu[name].append(used)
    finally:
        os.close(devnull)
    return wall, cpu


def machine_description(cores, timer):
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    compiler = subprocess.run(["c++", "--version"], capture_output=True, text=True,
                              check=False).stdout.splitlines()
    return (f"{model}, {cores} cores, Linux {platform.release()}; "
            f"{compiler[0] if compiler else 'unknown compiler'}; timer: {timer}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=10, help="interleaved rounds (default 10)")
    parser.add_argument("--runs", type=int, default=30,
                        help="runs of each configuration per round (default 30)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed runs first (default 3)")
    parser.add_argument("--csv", type=Path, default=ROOT / "bench" / "results" / "bench.csv")
    parser.add_argument("--no-hyperfine", action="store_true",
                        help="time with the built-in spawn loop even if hyperfine is installed")
    parser.add_argument("--seed", type=int, default=1, help="seed for the run order")
    args = parser.parse_args()
    if args.rounds < 1 or args.runs < 1 or args.warmup < 0:
        parser.error("--rounds and --runs must be at least 1, --warmup at least 0")

    build()
    cores = os.cpu_count() or 1
    env = clean_environment()
    configs = configurations(cores)
    check_output(configs, env)

    rng = random.Random(args.seed)
    use_hyperfine = shutil.which("hyperfine") is not None and not args.no_hyperfine
    if use_hyperfine:
        version = subprocess.run(["hyperfine", "--version"], capture_output=True, text=True,
                                 check=True).stdout.strip()
        wall, cpu = time_with_hyperfine(configs, env, args.rounds, args.runs, args.warmup, rng)
    else:
        version = "posix_spawn + wait4"
        wall, cpu = time_with_spawn(configs, env, args.rounds, args.runs, args.warmup, rng)

    baseline = statistics.median(wall["serial"])
    rows = []
    for name, threads, policy, _ in configs:
        median = statistics.median(wall[name])
        deciles = statistics.quantiles(wall[name], n=10)
        rows.append({
            "threads": threads,
            "wait_policy": policy,
            "runs": len(wall[name]),
            "median_ms": f"{median * 1e3:.2f}",
            "p10_ms": f"{deciles[0] * 1e3:.2f}",
            "p90_ms": f"{deciles[-1] * 1e3:.2f}",
            "ratio_to_serial": f"{median / baseline:.2f}",
            "cpu_ms": f"{statistics.fmean(cpu[name]) * 1e3:.2f}",
        })

    args.csv.parent.mkdir(parents=True, exist_ok=True)
    with args.csv.open("w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)

    print(f"Machine: {machine_description(cores, version)}")
    print(f"{args.rounds} rounds x {args.runs} runs per configuration, interleaved; "
          "times are whole-process wall clock")
    print()
    print("| threads | wait policy | median ms | p10 ms | p90 ms | program/serial "
          "| CPU ms (user+sys) |")
    print("| ---: | --- | ---: | ---: | ---: | ---: | ---: |")
    for row in rows:
        print(f"| {row['threads']} | {row['wait_policy']} | {row['median_ms']} | "
              f"{row['p10_ms']} | {row['p90_ms']} | {row['ratio_to_serial']} | "
              f"{row['cpu_ms']} |")
    print()
    print(f"CSV: {args.csv}")


if __name__ == "__main__":
    main()
