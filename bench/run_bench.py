#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Times parallel_sum against a serial build of the same source, on each OpenMP runtime, and
shows where a run's time goes and how it grows with the team.

Prints the tables, writes every run as CSV and, with matplotlib, SVG figures; --readme also
writes the block into bench/README.md, a headline into README.md and the figures into
bench/figures. Any failure ends in one line on stderr and a non-zero status."""

import argparse
import gzip
import os
import platform
import random
import re
import shlex
import signal
import subprocess
import sys
import time
from pathlib import Path

from benchmark import BenchError, figures, output, report, running, stats
from benchmark.configs import configurations

ROOT = Path(__file__).resolve().parent.parent
MIN_ROUNDS = 5  # the intervals resample whole rounds, and fewer give too few distinct resamples


class ArgumentParser(argparse.ArgumentParser):
    """argparse, but a wrong option is one line on stderr too (status 2, as argparse has it)."""

    def error(self, message):
        self.exit(2, f"run_bench: {message} (see run_bench.py --help)\n")


def parse_args(argv):
    parser = ArgumentParser(prog="run_bench.py", description=__doc__.split("\n\n")[0])
    for option, default, text in (
            ("--rounds", 10, "interleaved rounds"), ("--runs", 30, "runs of each configuration "
             "per round, fewer for teams over four times the CPUs"), ("--warmup", 3, "untimed "
             "runs of each configuration first"), ("--seed", 1, "seed for the run order and the "
             "bootstrap")):
        parser.add_argument(option, type=int, default=default, help=f"{text} (default {default})")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results",
                        help="directory for the CSV and the figures (default bench/results)")
    parser.add_argument("--readme", action="store_true", help="write the figures to "
                        "bench/figures, the block into bench/README.md, a headline into README.md")
    args = parser.parse_args(argv)
    if args.rounds < MIN_ROUNDS or args.runs < 1 or args.warmup < 0:
        parser.error(f"--rounds must be at least {MIN_ROUNDS} (the intervals resample whole "
                     f"rounds), --runs at least 1, --warmup at least 0")
    return args


def machine_description(paths, cpus):
    """The CPU, how many of them the process may use, the kernel and the compiler."""
    model = (re.search(r"^model name\s*: (.*)$", Path("/proc/cpuinfo").read_text(), re.M) or
             [0, "unknown CPU"])[1]
    try:
        cache = (paths.build_dir / "CMakeCache.txt").read_text(encoding="utf-8")
        compiler = subprocess.run([re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache, re.M)[1],
                                   "--version"], capture_output=True, text=True,
                                  check=False).stdout.splitlines()[0]
    except (OSError, TypeError, IndexError):
        compiler = "unknown compiler"
    return {"machine": f"{model}, {cpus} CPU{'s' * (cpus > 1)} available to the process, "
                       f"Linux {platform.release()}", "compiler": compiler}


def scheduler_tick():
    """(CONFIG_HZ, where it was read) of the running kernel, or None where its configuration
    cannot be read (the tick is then left out rather than guessed)."""
    for path, opener in (("/proc/config.gz", gzip.open),
                         (f"/boot/config-{platform.release()}", open)):
        try:
            with opener(path, "rt", encoding="utf-8") as config:
                if found := re.search(r"^CONFIG_HZ=(\d+)$", config.read(), re.M):
                    return int(found[1]), path
        except OSError:
            pass
    return None


def progress(text):
    """A line of progress on a terminal, written over the last one; nothing otherwise."""
    if sys.stderr.isatty():
        print(f"\r{text}\033[K", end="", file=sys.stderr, flush=True)


def run(argv):
    started, args = time.monotonic(), parse_args(argv)
    paths, out = running.Paths(ROOT), args.out.resolve()
    documents = {ROOT / "bench" / "README.md": output.BLOCK, ROOT / "README.md": output.HEADLINE}
    # Everything that can be known to fail is checked before anything is measured.
    output.check_writable(out)
    if args.readme:
        if not figures.AVAILABLE:
            raise BenchError(f"--readme needs the figures, but {figures.MISSING}")
        for path, markers in documents.items():
            output.read_document(path, markers)
            output.check_writable(path.parent)
        output.check_writable(ROOT / "bench" / "figures")

    running.build(paths, out / "build.log")
    cpus = len(os.sched_getaffinity(0))
    # LLVM's libomp where the build found it: a directory in which libgomp.so.1 is libomp.so.5.
    runtimes = ["libgomp"] + ["libomp"] * (paths.alt_runtime / "libgomp.so.1").exists()
    configs = configurations(cpus, runtimes)
    with running.Runner(paths, os.environ) as runner:
        try:
            samples, (stolen, others) = running.measure(
                runner, configs, args.rounds, args.runs, args.warmup, random.Random(args.seed),
                cpus, progress)
        finally:
            progress("")
    results = stats.analyse(samples, configs, cpus, random.Random(f"{args.seed} bootstrap"))
    foreign = stats.foreign(stolen, others)  # reasons to keep these numbers out of the README
    readme = args.readme and not foreign
    figure_dir = ROOT / "bench" / "figures" if readme else out
    meta = {**machine_description(paths, cpus), "rounds": args.rounds,
            "runs per round": args.runs, "warmup": args.warmup, "seed": args.seed,
            "command": shlex.join(["bench/run_bench.py", *argv]), "steal": round(stolen, 4),
            "other processes": round(others, 4),
            "minutes": round((time.monotonic() - started) / 60, 1)}
    tick, warnings = scheduler_tick(), results.warnings + foreign
    lines = report.report(results, meta, cpus, runtimes, warnings, tick)
    for warning in warnings:
        print(f"run_bench: warning: {warning}", file=sys.stderr)
    print("\n".join(lines))

    outputs = {out / "runs.csv": output.runs_csv(meta, warnings, samples)}
    if figures.AVAILABLE:
        outputs.update((figure_dir / n, text) for n, text in figures.draw(results, cpus).items())
    if readme:
        for (path, markers), text in zip(documents.items(), report.documents(
                lines, meta["command"], results, tick)):
            outputs[path] = output.rewrite(output.read_document(path, markers), markers, text)
    # Figures an earlier run left beside these results, which they would not match, go.
    output.commit(outputs, [d / name for d in {figure_dir, out} for name in figures.FIGURES])
    print(f"\nCSV: {out / 'runs.csv'} (every run)\nFigures: " + (", ".join(
        str(figure_dir / n) for n in figures.FIGURES) if figures.AVAILABLE else figures.MISSING))
    if readme:
        print("bench/README.md and README.md updated")
    elif args.readme:
        raise BenchError(f"--readme refused: {'; '.join(foreign)}. README.md, bench/README.md "
                         f"and bench/figures are as they were, this run's results are in {out}; "
                         f"run it again on an idle machine")


class Terminated(Exception):
    """SIGTERM, as an exception, so that temporary files are removed on the way out."""


def on_sigterm(*_):
    raise Terminated


def main(argv=None):
    """Runs the benchmark; every failure ends in one line on stderr and a non-zero status."""
    signal.signal(signal.SIGTERM, on_sigterm)
    for name in [n for n in os.environ if running.dropped(n)]:
        del os.environ[name]  # matplotlib's image library loads libgomp into this process too
    try:
        run(sys.argv[1:] if argv is None else argv)
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
    except (BenchError, OSError) as error:
        where = f" ({error.filename})" if getattr(error, "filename", None) else ""
        print(f"run_bench: {getattr(error, 'strerror', None) or error}{where}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
