# SPDX-License-Identifier: MIT
"""Building the program and timing its runs, as bench/README.md's "How a run is measured"
says, and how much of the machine's CPU time was not the benchmark's meanwhile."""

import os
import shutil
import signal
import subprocess
import time
from pathlib import Path

from . import BenchError, records
from .configs import runs_per_round

EXPECTED = b"sum = 499500.000000\n"
RECORD_FD = 3  # the descriptor region_timer writes its record to


class Paths:
    """Where the bench preset puts what the benchmark runs."""

    def __init__(self, root):
        self.root, self.build_dir = root, root / "build" / "bench"
        self.program = self.build_dir / "parallel_sum"
        self.serial = self.build_dir / "bench" / "parallel_sum_serial"
        self.timer = self.build_dir / "bench" / "libregion_timer.so"
        self.early_init = self.build_dir / "bench" / "libearly_init.so"
        self.alt_runtime = self.build_dir / "alt-runtime"


# The build's failures and a run's (below) are tested as a user meets them, in a process of its
# own (test_errors.py): a coverage run counts them only where it follows subprocesses.
def describe_exit(code):
    """An exit code as subprocess gives it, in words."""
    return (f"exited with status {code}" if code >= 0 else
            f"was killed by signal {-code} ({signal.strsignal(-code)})")


def build(paths, log_path):
    """Configures and builds the bench preset; its output goes to log_path."""
    if shutil.which("cmake") is None:
        raise BenchError("cmake is not installed or not on PATH (on Debian: apt-get install cmake)")
    with open(log_path, "w", encoding="utf-8") as log:
        done = subprocess.run(["cmake", "--workflow", "--preset", "bench"], cwd=paths.root,
                              stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                              check=False)
    if done.returncode != 0:
        raise BenchError(f"the build failed (cmake --workflow --preset bench "
                         f"{describe_exit(done.returncode)}); its output is in {log_path}")
    for built in (paths.program, paths.serial, paths.timer, paths.early_init):
        if not built.exists():
            raise BenchError(f"the build did not make {built}")


# The caller's variables no run inherits, each of which would change what a configuration
# measures: tests/runtime-settings.txt says which and why (a name ending in * is a prefix).
RUNTIME_VARIABLES = [v for v in map(str.strip, (Path(__file__).resolve().parents[2] / "tests" /
                     "runtime-settings.txt").read_text(encoding="utf-8").splitlines())
                     if v and not v.startswith("#")]


def dropped(name):
    """Whether the caller's variable name is one of RUNTIME_VARIABLES."""
    return any(name.startswith(v[:-1]) if v.endswith("*") else name == v
               for v in RUNTIME_VARIABLES)


def environment(config, paths, caller, timed):
    """The environment of one run of config, from the caller's environment."""
    env = {k: v for k, v in caller.items() if not dropped(k)} | dict(config.variables)
    # The benchmark's own libraries are named, not given as paths, and found through the
    # library path: LD_PRELOAD splits a path that holds a space.
    preload = [name for name in (config.preload, timed and paths.timer.name) if name]
    library_path = ([str(paths.timer.parent)] if preload else []) + (
        [str(paths.alt_runtime)] if config.runtime == "libomp" else [])
    extra = {"LD_PRELOAD": " ".join(preload), "REGION_TIMER_FD": str(RECORD_FD) if timed else "",
             "LD_LIBRARY_PATH": ":".join(filter(None, [*library_path,
                                                       caller.get("LD_LIBRARY_PATH")]))}
    return env | {k: v for k, v in extra.items() if v}


class Runner:
    """Starts one run at a time and collects what wait4 and region_timer say about it."""

    def __init__(self, paths, environ):
        self.paths, self.caller = paths, dict(environ)
        # Both close-on-exec; the spawn's dup2 gives the child its copies (glibc clears the
        # flag where a descriptor is dup2'd onto itself).
        self.output = os.memfd_create("output", os.MFD_CLOEXEC)
        self.record = os.memfd_create("record", os.MFD_CLOEXEC)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        for fd in (self.output, self.record):
            os.close(fd)

    def run(self, config, timed, round_number=None, check=False):
        """One run: its configuration, whether it was timed inside, round, wall and CPU seconds,
        context switches and phases. With check, the output must be the program's line."""
        program = str(self.paths.serial if config.serial else self.paths.program)
        env = environment(config, self.paths, self.caller, timed)  # before the clock starts
        for fd in (self.output, self.record):  # the child writes at the offset they share
            os.ftruncate(fd, 0)
            os.lseek(fd, 0, os.SEEK_SET)
        actions = [(os.POSIX_SPAWN_DUP2, self.output, 1),
                   *[(os.POSIX_SPAWN_DUP2, self.record, RECORD_FD)] * timed]
        spawned = time.monotonic_ns()
        pid = os.posix_spawn(program, [program], env, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        reaped = time.monotonic_ns()
        what = config.name + " with region_timer" * timed
        if status != 0:
            raise BenchError(f"{what} {describe_exit(os.waitstatus_to_exitcode(status))}")
        if check and (printed := os.pread(self.output, 4096, 0)) != EXPECTED:
            raise BenchError(f"{what} printed {printed[:60]!r}, not {EXPECTED!r}")
        try:
            phases = timed and records.parse(os.pread(self.record, os.fstat(
                self.record).st_size, 0).decode("ascii", "replace"), spawned, reaped)
        except BenchError as error:
            raise BenchError(f"{what}: {error}") from None
        return {"config": config, "timer": timed, "round": round_number,
                "wall": (reaped - spawned) / 1e9, "cpu": usage.ru_utime + usage.ru_stime,
                "nvcsw": usage.ru_nvcsw, "nivcsw": usage.ru_nivcsw, "phases": phases or None}


def variants(configs):
    """Every configuration without the timer, and every OpenMP one with it."""
    return [(c, False) for c in configs] + [(c, True) for c in configs if not c.serial]


def measure(runner, configs, rounds, runs, warmup, rng, cpus, progress):
    """All the runs, after a check of every variant's output and record, and warmup runs: each
    round in passes, each pass in a fresh order; a variant with fewer runs in passes spread
    evenly over the round. With them, foreign_shares over the whole of it."""
    before, pairs = cpu_clock(), variants(configs)
    for config, timed in pairs:
        runner.run(config, timed, check=True)
    for config, timed in pairs * warmup:
        runner.run(config, timed)
    due = [{i * runs // n for i in range(n)}
           for n in (runs_per_round(config.threads, runs, cpus) for config, _ in pairs)]
    samples = []
    for round_number in range(rounds):
        progress(f"run_bench: round {round_number + 1} of {rounds}")
        for number in range(runs):
            now = [pair for pair, passes in zip(pairs, due) if number in passes]
            for config, timed in rng.sample(now, len(now)):
                samples.append(runner.run(config, timed, round_number))
    return samples, foreign_shares(before, cpu_clock())


def cpu_clock():
    """In clock ticks: the machine's CPU time so far (/proc/stat), its busy part and the part the
    host took (steal), and the CPU time of this process and of the children it has reaped."""
    user, nice, system, idle, iowait, irq, softirq, steal = map(
        int, Path("/proc/stat").read_text(encoding="ascii").split(maxsplit=9)[1:9])
    own = os.times()
    return (user + nice + system + idle + iowait + irq + softirq + steal,
            user + nice + system + irq + softirq, steal, os.sysconf("SC_CLK_TCK") *
            (own.user + own.system + own.children_user + own.children_system))


def foreign_shares(before, after):
    """(stolen, others) between two cpu_clock() readings: the shares of all the machine's CPU
    time that the host took and that other processes kept busy."""
    total, busy, steal, own = (b - a for a, b in zip(before, after))
    return steal / max(total, 1), max(busy - own, 0) / max(total, 1)
