# SPDX-License-Identifier: MIT
"""Building the program and timing its runs.

Every run is started with posix_spawn and reaped with wait4, which gives its wall time (on
the monotonic clock read just before the spawn and just after the reaping), its CPU time and
its voluntary and involuntary context switches. Runs are taken in rounds; within a round each
configuration runs once per pass, in a fresh random order each pass, with and without
region_timer, so that drift in the machine's load falls on every configuration alike and the
runs with the timer can be compared with the runs without it. hyperfine, when it is used,
times the same configurations again in its own rounds, interleaved with those.
"""

import json
import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from . import noise, records
from .errors import BenchError

EXPECTED = b"sum = 499500.000000\n"
RECORD_FD = 3  # the descriptor region_timer writes its record to


@dataclass
class Paths:
    root: Path

    @property
    def build_dir(self):
        return self.root / "build" / "bench"

    @property
    def program(self):
        return self.build_dir / "parallel_sum"

    @property
    def serial(self):
        return self.build_dir / "bench" / "parallel_sum_serial"

    @property
    def timer(self):
        return self.build_dir / "bench" / "libregion_timer.so"

    @property
    def alt_runtime(self):
        return self.build_dir / "alt-runtime"


def describe_status(status):
    """A wait status in words: "exited with status 1", "was killed by signal 11 (SIGSEGV)"."""
    return describe_exit(os.waitstatus_to_exitcode(status))


def describe_exit(code):
    """An exit code as subprocess gives it (minus the signal number for a killed process)."""
    if code >= 0:
        return f"exited with status {code}"
    try:
        name = f" ({signal.Signals(-code).name})"
    except ValueError:
        name = ""
    return f"was killed by signal {-code}{name}"


def require(tool, package):
    if shutil.which(tool) is None:
        raise BenchError(f"{tool} is not installed or not on PATH (on Debian: apt-get install "
                         f"{package})")


def build(paths, log_path):
    """Configures and builds the bench preset; its output goes to log_path."""
    require("cmake", "cmake")
    with open(log_path, "w", encoding="utf-8") as log:
        done = subprocess.run(["cmake", "--workflow", "--preset", "bench"], cwd=paths.root,
                              stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                              check=False)
    if done.returncode != 0:
        raise BenchError(f"the build failed (cmake --workflow --preset bench "
                         f"{describe_exit(done.returncode)}); "
                         f"its output is in {log_path}")
    for built in (paths.program, paths.serial, paths.timer):
        if not built.exists():
            raise BenchError(f"the build did not make {built}")


def clean_environment(environ):
    """The environment without any OpenMP runtime setting, preload or library path, so that
    each configuration sets exactly what it names."""
    return {k: v for k, v in environ.items()
            if not k.startswith(("OMP_", "GOMP_", "KMP_")) and k not in ("LD_PRELOAD",
                                                                       "LD_LIBRARY_PATH")}


def run_environment(config, paths, base, timed):
    env = dict(base, **dict(config.variables))
    library_path = []
    if timed:
        # The interposer is named, not given as a path, and found through the library path:
        # LD_PRELOAD splits a path that holds a space.
        env["LD_PRELOAD"] = paths.timer.name
        env["REGION_TIMER_FD"] = str(RECORD_FD)
        library_path.append(str(paths.timer.parent))
    if config.runtime == "libomp":
        library_path.append(str(paths.alt_runtime))
    if library_path:
        env["LD_LIBRARY_PATH"] = ":".join(library_path)
    return env


class Runner:
    """Starts one run at a time and collects what wait4 and region_timer say about it."""

    def __init__(self, paths, environ):
        self.paths = paths
        self.base = clean_environment(environ)
        self._tmp = tempfile.TemporaryDirectory(prefix="run_bench-")
        tmp = Path(self._tmp.name)
        self.devnull = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
        self.output = os.open(tmp / "output", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        self.record = os.open(tmp / "record", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        if self.record == RECORD_FD:
            # dup2 onto itself would leave the descriptor closed on exec.
            moved = os.dup(self.record)
            os.close(self.record)
            self.record = moved

    def close(self):
        for fd in (self.devnull, self.output, self.record):
            os.close(fd)
        self._tmp.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def run(self, config, timed, round_number=None, check=False):
        """One run: a dict of the configuration, whether it was timed inside, the round, wall
        and CPU seconds, context switches and (timed) the phases. With check, the output must
        be the program's line."""
        program = self.paths.serial if config.serial else self.paths.program
        env = run_environment(config, self.paths, self.base, timed)
        actions = [(os.POSIX_SPAWN_DUP2, self.output if check else self.devnull, 1)]
        if check:
            os.ftruncate(self.output, 0)
            os.lseek(self.output, 0, os.SEEK_SET)
        if timed:
            os.ftruncate(self.record, 0)
            os.lseek(self.record, 0, os.SEEK_SET)
            actions.append((os.POSIX_SPAWN_DUP2, self.record, RECORD_FD))
        spawned = time.monotonic_ns()
        pid = os.posix_spawn(str(program), [str(program)], env, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        reaped = time.monotonic_ns()
        what = config.name + (" with region_timer" if timed else "")
        if status != 0:
            raise BenchError(f"{what} {describe_status(status)}")
        if check:
            printed = os.pread(self.output, 4096, 0)
            if printed != EXPECTED:
                raise BenchError(f"{what} printed {printed[:60]!r}, not {EXPECTED!r}")
        sample = {"source": "spawn", "config": config, "timer": timed, "round": round_number,
                  "wall": (reaped - spawned) / 1e9, "cpu": usage.ru_utime + usage.ru_stime,
                  "nvcsw": usage.ru_nvcsw, "nivcsw": usage.ru_nivcsw, "phases": None}
        if timed:
            size = os.fstat(self.record).st_size
            text = os.pread(self.record, size, 0).decode("ascii", "replace")
            try:
                sample["phases"] = records.parse(text, spawned, reaped)
            except records.RecordError as error:
                raise BenchError(f"{what}: {error}") from None
        return sample


def variants(configs):
    """Every configuration without the timer, and every OpenMP one with it."""
    return [(c, False) for c in configs] + [(c, True) for c in configs if not c.serial]


def check_all(runner, configs):
    """Each configuration must print the line, and its record must parse, before any timing."""
    for config, timed in variants(configs):
        runner.run(config, timed, check=True)


class Hyperfine:
    """Times the configurations without the timer in hyperfine, one round per call; commands
    go through env(1), the baseline's included, so setting variables costs every command
    alike."""

    def __init__(self, paths, environ, runs, warmup):
        self.paths = paths
        self.base = clean_environment(environ)
        self.runs = runs
        self.warmup = warmup
        self.env_tool = shutil.which("env") or "/usr/bin/env"
        self.version = subprocess.run(["hyperfine", "--version"], capture_output=True,
                                      text=True, check=False).stdout.strip() or "hyperfine"

    def argv(self, config):
        program = self.paths.serial if config.serial else self.paths.program
        env = run_environment(config, self.paths, {}, timed=False)
        return [self.env_tool, *(f"{k}={v}" for k, v in env.items()), str(program)]

    def round(self, configs, round_number, rng):
        """(samples, noise warnings) of one round, the commands in a random order."""
        with tempfile.TemporaryDirectory(prefix="run_bench-") as tmp:
            export = Path(tmp) / "round.json"
            command = ["hyperfine", "--shell=none", "--style=basic", f"--warmup={self.warmup}",
                       f"--runs={self.runs}", f"--export-json={export}"]
            by_name = {}
            for config in rng.sample(configs, len(configs)):
                by_name[config.name] = config
                command += ["--command-name", config.name, shlex.join(self.argv(config))]
            done = subprocess.run(command, env=self.base, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, check=False)
            if done.returncode != 0:
                reason = (done.stderr.strip().splitlines() or ["no message"])[-1]
                raise BenchError(f"hyperfine failed: {reason}")
            results = json.loads(export.read_text())["results"]
        samples = [{"source": "hyperfine", "config": by_name[r["command"]], "timer": False,
                    "round": round_number, "wall": wall, "cpu": None, "nvcsw": None,
                    "nivcsw": None, "phases": None}
                   for r in results for wall in r["times"]]
        return samples, noise.hyperfine_warnings(done.stdout)


def measure(runner, configs, rounds, runs, warmup, rng, hyperfine=None, progress=None):
    """All the runs: (samples, noise warnings)."""
    pairs = variants(configs)
    for config, timed in pairs * warmup:
        runner.run(config, timed)
    samples, said_in = [], {}
    for round_number in range(rounds):
        if progress:
            progress(round_number)
        for _ in range(runs):
            for config, timed in rng.sample(pairs, len(pairs)):
                samples.append(runner.run(config, timed, round_number))
        if hyperfine is not None:
            more, said = hyperfine.round(configs, round_number, rng)
            samples += more
            for warning in said:
                said_in[warning] = said_in.get(warning, 0) + 1
    warnings = [f"{w} (in {n} of {rounds} rounds)" for w, n in said_in.items()]
    return samples, warnings
