#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Times parallel_sum against a serial build of the same source, on each OpenMP runtime, and
shows where a run's time goes and how it grows with the team.

Prints the tables, writes every run as CSV and, with matplotlib, draws SVG figures; with
--readme, writes the block into bench/README.md, a headline into README.md and the figures
into bench/figures. Any failure ends in one line on stderr and a non-zero status."""

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
from pathlib import Path

from benchmark import BenchError, figures, output, report, running, stats
from benchmark.configs import configurations

ROOT = Path(__file__).resolve().parent.parent
MIN_ROUNDS = 5  # the intervals resample whole rounds: five give 126 distinct resamples
STALE = ("bench.csv", "summary.csv", "timeline.svg")  # what earlier versions of this script wrote


class ArgumentParser(argparse.ArgumentParser):
    """argparse, but a wrong option is one line on stderr too (status 2, as argparse has it)."""

    def error(self, message):
        self.exit(2, f"run_bench: {message} (see run_bench.py --help)\n")


def parse_args(argv):
    parser = ArgumentParser(prog="run_bench.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=10, help="interleaved rounds (default 10)")
    parser.add_argument("--runs", type=int, default=30,
                        help="runs of each configuration per round (default 30; fewer for "
                             "teams over four times the CPUs)")
    parser.add_argument("--warmup", type=int, default=3,
                        help="untimed runs of each configuration first (default 3)")
    parser.add_argument("--seed", type=int, default=1,
                        help="seed for the run order and the bootstrap (default 1)")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "results",
                        help="directory for the CSV and the figures (default bench/results)")
    parser.add_argument("--readme", action="store_true",
                        help="write the figures to bench/figures, the block into bench/README.md "
                             "and the headline into README.md")
    args = parser.parse_args(argv)
    if args.rounds < MIN_ROUNDS or args.runs < 1 or args.warmup < 0:
        parser.error(f"--rounds must be at least {MIN_ROUNDS} (the intervals resample whole "
                     f"rounds), --runs at least 1, --warmup at least 0")
    return args


def machine_description(paths, cpus):
    """The CPU, how many of them the process may use, the kernel and the compiler."""
    try:
        model = re.search(r"^model name\s*: (.*)$", Path("/proc/cpuinfo").read_text(), re.M)[1]
    except (OSError, TypeError):
        model = "unknown CPU"
    try:
        cache = (paths.build_dir / "CMakeCache.txt").read_text(encoding="utf-8")
        compiler = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache, re.M)[1]
        compiler = subprocess.run([compiler, "--version"], capture_output=True, text=True,
                                  check=False).stdout.splitlines()[0]
    except (OSError, TypeError, IndexError):
        compiler = "unknown compiler"
    return {"machine": f"{model}, {cpus} CPU{'s' if cpus > 1 else ''} available to the "
                       f"process, Linux {platform.release()}", "compiler": compiler}


def scheduler_tick():
    """(CONFIG_HZ, where it was read) of the running kernel, or None where its configuration
    cannot be read (the tick is then left out rather than guessed)."""
    for path, opener in (("/proc/config.gz", gzip.open),
                         (f"/boot/config-{platform.release()}", open)):
        try:
            with opener(path, "rt", encoding="utf-8") as config:
                if found := re.search(r"^CONFIG_HZ=(\d+)$", config.read(), re.M):
                    return int(found.group(1)), path
        except OSError:
            pass
    return None


def progress(text):
    """A line of progress on a terminal, written over the last one; nothing otherwise."""
    if sys.stderr.isatty():
        print(f"\r{text}\033[K", end="", file=sys.stderr, flush=True)


def run(argv):
    args = parse_args(argv)
    paths = running.Paths(ROOT)
    out = args.out.resolve()
    figure_dir = ROOT / "bench" / "figures" if args.readme else out
    documents = {ROOT / "bench" / "README.md": output.BLOCK, ROOT / "README.md": output.HEADLINE}

    # Everything that can be known to fail is checked before anything is measured.
    output.check_writable(out)
    draw = figures.AVAILABLE
    if args.readme:
        if not draw:
            raise BenchError("--readme needs the figures, and so matplotlib: on Debian, "
                             "apt-get install python3-matplotlib and run with /usr/bin/python3")
        for path, markers in documents.items():
            output.read_document(path, markers)
            output.check_writable(path.parent)
        output.check_writable(figure_dir)

    running.build(paths, out / "build.log")
    cpus = len(os.sched_getaffinity(0))
    # LLVM's libomp where the build found it: a directory in which libgomp.so.1 is libomp.so.5.
    runtimes = ["libgomp"] + ["libomp"] * (paths.alt_runtime / "libgomp.so.1").exists()
    configs = configurations(cpus, runtimes)
    with running.Runner(paths, os.environ) as runner:
        try:
            samples = running.measure(runner, configs, args.rounds, args.runs, args.warmup,
                                      random.Random(args.seed), cpus, progress)
        finally:
            progress("")
    results = stats.analyse(samples, configs, cpus, random.Random(f"{args.seed} bootstrap"))
    warnings = results.warnings  # that the machine was too noisy for the numbers as they stand

    meta = machine_description(paths, cpus)
    meta.update({"rounds": args.rounds, "runs per round": args.runs, "warmup": args.warmup,
                 "seed": args.seed, "command": shlex.join(["bench/run_bench.py", *argv])})
    tick = scheduler_tick()
    lines = report.report(results, meta, cpus, runtimes, warnings, tick)
    for warning in warnings:
        print(f"run_bench: warning: {warning}", file=sys.stderr)
    print("\n".join(lines))

    outputs = {out / "runs.csv": output.runs_csv(meta, warnings, samples)}
    stale = [d / name for d in {figure_dir, out} for name in (*figures.FIGURES, *STALE)]
    if draw:
        outputs.update((figure_dir / n, text) for n, text in figures.draw(results, cpus).items())
    if args.readme:
        made = f"Made by `{meta['command']}`"
        block = [f"{made}:", "", *lines, "",
                 *(f"![{title}](figures/{name})" for name, title in figures.FIGURES.items())]
        headline = [f"{made} (the method, all the numbers and the figures: "
                    f"[bench/README.md](bench/README.md)):", "",
                    *report.headline(results, tick), "",
                    f"![{figures.FIGURES['phases.svg']}](bench/figures/phases.svg)"]
        for (path, markers), text in zip(documents.items(), (block, headline)):
            outputs[path] = output.rewrite(output.read_document(path, markers), markers,
                                           "\n".join(text))
    output.commit(outputs, stale)
    print(f"\nCSV: {out / 'runs.csv'} (every run)\nFigures: " + (
        ", ".join(str(figure_dir / n) for n in figures.FIGURES) if draw else "none, as "
        "matplotlib is not installed; on Debian, apt-get install python3-matplotlib and run the "
        "script with /usr/bin/python3."))
    if args.readme:
        print("bench/README.md and README.md updated")


class Terminated(Exception):
    """SIGTERM, turned into an exception so that temporary files are removed on the way out."""


def on_sigterm(*_):
    raise Terminated


def main(argv=None):
    """Runs the benchmark; every failure ends in one line on stderr and a non-zero status."""
    argv = sys.argv[1:] if argv is None else argv
    signal.signal(signal.SIGTERM, on_sigterm)
    for name in [n for n in os.environ if n.startswith(running.RUNTIME_VARIABLES)]:
        del os.environ[name]  # matplotlib's image library loads libgomp into this process too
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
