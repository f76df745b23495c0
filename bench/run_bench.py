#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times parallel_sum against a serial build of the same source, on each OpenMP runtime, and
shows where a run's time goes.

For 1000 iterations the cost of a run is the cost of starting a process and a thread team,
so every configuration is timed as a whole process: team sizes 1, 2, the CPUs this process
may use and four times that, each under the runtime's default setting, OMP_WAIT_POLICY=passive,
OMP_WAIT_POLICY=active and OMP_PROC_BIND=close, on GNU libgomp and, where it is installed, on
LLVM's libomp standing in for it. Runs are taken in interleaved rounds, each configuration
with and without the timing interposer region_timer, which splits a run into phases; the runs
without it give the whole-process times, and the difference is the timer's own cost.

Prints the tables and any noise warning, writes every run and the summary as CSV and, with
matplotlib, draws SVG figures; with --readme, writes the tables into README.md and the
figures into bench/figures. Any failure ends in one line on stderr and a non-zero status.

    bench/run_bench.py [--rounds N] [--runs N] [--seed N] [--no-hyperfine] [--readme]
"""

import argparse
import os
import platform
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
from pathlib import Path

from benchmark import configs as configs_module
from benchmark import export_csv, figures, files, noise, readme, results, running, tables
from benchmark.errors import BenchError

ROOT = Path(__file__).resolve().parent.parent
# Rounds are the unit the intervals resample, so there must be enough of them to resample:
# five give 126 distinct resamples. Runs: a tenth of them on each side of p10 and p90.
MIN_ROUNDS = 5
MIN_RUNS = 20
STALE = ("bench.csv",)  # what earlier versions of this script wrote


class ArgumentParser(argparse.ArgumentParser):
    """argparse, but a wrong option is one line on stderr too (status 2, as argparse has it)."""

    def error(self, message):
        self.exit(2, f"run_bench: {message} (see run_bench.py --help)\n")


def parse_args(argv):
    parser = ArgumentParser(prog="run_bench.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=10, help="interleaved rounds (default 10)")
    parser.add_argument("--runs", type=int, default=30,
                        help="runs of each configuration per round (default 30)")
    parser.add_argument("--warmup", type=int, default=3,
                        help="untimed runs of each configuration first (default 3)")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed for the run order and the bootstrap (default 1)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results",
                        help="directory for the CSV and the figures (default bench/results)")
    parser.add_argument("--no-hyperfine", action="store_true",
                        help="do not time the configurations again with hyperfine")
    parser.add_argument("--readme", action="store_true",
                        help="write the figures to bench/figures and the tables into README.md")
    args = parser.parse_args(argv)
    if args.rounds < MIN_ROUNDS or args.runs < 1 or args.warmup < 0:
        parser.error(f"--rounds must be at least {MIN_ROUNDS} (the intervals resample whole "
                     f"rounds), --runs at least 1, --warmup at least 0")
    if args.rounds * args.runs < MIN_RUNS:
        parser.error(f"--rounds × --runs is {args.rounds * args.runs}; the percentiles need at "
                     f"least {MIN_RUNS} runs of each configuration")
    return args


def machine_description(paths, cpus):
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text(encoding="utf-8").splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    compiler = "c++"
    try:
        cache = (paths.build_dir / "CMakeCache.txt").read_text(encoding="utf-8")
        if found := re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache, re.M):
            compiler = found.group(1)
    except OSError:
        pass
    try:
        version = subprocess.run([compiler, "--version"], capture_output=True, text=True,
                                 check=False).stdout.splitlines()
    except OSError:
        version = []
    return {"machine": f"{model}, {cpus} CPU{'s' if cpus > 1 else ''} available to the "
                       f"process, Linux {platform.release()}",
            "compiler": version[0] if version else "unknown compiler"}


class Progress:
    """"round 3 of 10" on a terminal, nothing otherwise."""

    def __init__(self, rounds):
        self.rounds = rounds
        self.shown = sys.stderr.isatty()

    def __call__(self, round_number):
        if self.shown:
            sys.stderr.write(f"\rrun_bench: round {round_number + 1} of {self.rounds}")
            sys.stderr.flush()

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def run(argv):
    args = parse_args(argv)
    paths = running.Paths(ROOT)
    out = args.out.resolve()
    figure_dir = ROOT / "bench" / "figures" if args.readme else out
    readme_path = ROOT / "README.md"

    # Everything that can be known to fail is checked before anything is measured.
    files.check_writable(out)
    draw = figures.available()
    if args.readme:
        if not draw:
            raise BenchError("--readme needs the figures, and so matplotlib: on Debian, "
                             "apt-get install python3-matplotlib and run with /usr/bin/python3")
        try:
            readme.check_markers(readme_path.read_text(encoding="utf-8"))
        except OSError as error:
            raise BenchError(f"cannot read {readme_path}: {error.strerror}") from None
        files.check_writable(figure_dir)
        files.check_writable(readme_path.parent)
    use_hyperfine = not args.no_hyperfine and shutil.which("hyperfine") is not None

    running.build(paths, out / "build.log")
    cpus = len(os.sched_getaffinity(0))
    runtimes = configs_module.runtimes(paths.alt_runtime)
    configs = configs_module.configurations(cpus, runtimes)
    order = random.Random(args.seed)
    progress = Progress(args.rounds)
    with running.Runner(paths, os.environ) as runner:
        running.check_all(runner, configs)
        hyperfine = (running.Hyperfine(paths, os.environ, args.runs, min(args.warmup, 1))
                     if use_hyperfine else None)
        try:
            samples, warnings = running.measure(runner, configs, args.rounds, args.runs,
                                                args.warmup, order, hyperfine, progress)
        finally:
            progress.clear()
    warnings += noise.serial_warnings(results.by_round(samples, configs[0]))
    analysed = results.analyse(samples, configs, random.Random(f"{args.seed} bootstrap"))

    meta = machine_description(paths, cpus)
    meta.update({"rounds": args.rounds, "runs per round": args.runs, "warmup": args.warmup,
                 "seed": args.seed,
                 "hyperfine": (f"{hyperfine.version} timed the configurations again through "
                               f"env(1), last column" if hyperfine else "hyperfine not used"),
                 "command": shlex.join(["bench/run_bench.py", *(argv or [])])})
    lines = tables.report(analysed, meta, cpus, runtimes, warnings)
    for warning in warnings:
        print(f"run_bench: warning: {warning}", file=sys.stderr)
    print("\n".join(lines))

    outputs = {out / "runs.csv": export_csv.runs_csv(meta, warnings, samples),
               out / "summary.csv": export_csv.summary_csv(meta, warnings, analysed)}
    stale = [figure_dir / name for name in figures.FIGURE_NAMES]
    stale += [out / name for name in (*figures.FIGURE_NAMES, *STALE)]
    if draw:
        for name, text in figures.draw(analysed, cpus).items():
            outputs[figure_dir / name] = text
    if args.readme:
        block = [f"Made by `{meta['command']}`:", "", *lines, ""]
        block += [f"![{title}]({(figure_dir / name).relative_to(ROOT)})" for title, name in
                  zip(["Whole-process times", "Threads in the region"], figures.FIGURE_NAMES)]
        try:
            text = readme_path.read_text(encoding="utf-8")
        except OSError as error:
            raise BenchError(f"cannot read {readme_path}: {error.strerror}") from None
        outputs[readme_path] = readme.rewrite(text, "\n".join(block))
    files.commit(outputs, stale)
    print(f"\nCSV: {out / 'runs.csv'} (every run), {out / 'summary.csv'}")
    if draw:
        print("Figures: " + ", ".join(str(figure_dir / n) for n in figures.FIGURE_NAMES))
    else:
        print("Figures: none, as matplotlib is not installed; on Debian, apt-get install "
              "python3-matplotlib and run the script with /usr/bin/python3.")
    if args.readme:
        print("README.md updated")


class Terminated(Exception):
    """SIGTERM, turned into an exception so that temporary files are removed on the way out."""


def on_sigterm(*_):
    raise Terminated


def main(argv=None):
    """Runs the benchmark; every failure ends in one line on stderr and a non-zero status."""
    argv = sys.argv[1:] if argv is None else argv
    signal.signal(signal.SIGTERM, on_sigterm)
    try:
        run(argv)
    except KeyboardInterrupt:
        print("run_bench: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print("run_bench: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    except BrokenPipeError:
        # Nowhere to write any more: stop quietly, as a filter does.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except BenchError as error:
        print(f"run_bench: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        where = f" ({error.filename})" if error.filename else ""
        print(f"run_bench: {error.strerror or error}{where}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
