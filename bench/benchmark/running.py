# SPDX-License-Identifier: MIT
"""Building the program and timing its runs: each is started with posix_spawn and reaped
with wait4, which give its wall time (on the monotonic clock read just before the spawn and
just after the reaping), its CPU time and its voluntary and involuntary context switches."""

import os
import shutil
import signal
import subprocess
import time

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


def describe_exit(code):
    """An exit code as subprocess gives it, in words: "exited with status 1", "was killed by
    signal 11 (SIGSEGV)"."""
    if code >= 0:
        return f"exited with status {code}"
    name = f" ({signal.Signals(-code).name})" if -code in set(signal.Signals) else ""
    return f"was killed by signal {-code}{name}"


def build(paths, log_path):
    """Configures and builds the bench preset; its output goes to log_path."""
    if shutil.which("cmake") is None:
        raise BenchError("cmake is not installed or not on PATH (on Debian: apt-get install "
                         "cmake)")
    with open(log_path, "w", encoding="utf-8") as log:
        done = subprocess.run(["cmake", "--workflow", "--preset", "bench"], cwd=paths.root,
                              stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                              check=False)
    if done.returncode != 0:
        raise BenchError(f"the build failed (cmake --workflow --preset bench "
                         f"{describe_exit(done.returncode)}); "
                         f"its output is in {log_path}")
    for built in (paths.program, paths.serial, paths.timer, paths.early_init):
        if not built.exists():
            raise BenchError(f"the build did not make {built}")


# An OpenMP runtime reads every OMP_*, GOMP_*, KMP_*, LIBOMP_*, ACC_* and ARCHER_*
# variable, and LD_PRELOAD puts a library into every process: left in the caller's
# environment, any of them would change what a configuration measures without its name saying
# so, so none reaches a run unless the configuration sets it. LD_LIBRARY_PATH is the caller's
# to keep (the program's own libraries may need it), after the directories a configuration needs.
RUNTIME_VARIABLES = ("OMP_", "GOMP_", "KMP_", "LIBOMP_", "ACC_", "ARCHER_")


def environment(config, paths, caller, timed):
    """The environment of one run of config, from the caller's environment."""
    env = {k: v for k, v in caller.items()
           if not k.startswith(RUNTIME_VARIABLES) and k != "LD_PRELOAD"}
    env.update(config.variables)
    library_path = [str(paths.alt_runtime)] if config.runtime == "libomp" else []
    # The benchmark's own libraries are named, not given as paths, and found through the
    # library path: LD_PRELOAD splits a path that holds a space.
    preload = [config.preload] if config.preload else []
    if timed:
        preload.append(paths.timer.name)
        env["REGION_TIMER_FD"] = str(RECORD_FD)
    if preload:
        env["LD_PRELOAD"] = " ".join(preload)
        library_path.insert(0, str(paths.timer.parent))
    library_path += [caller["LD_LIBRARY_PATH"]] if caller.get("LD_LIBRARY_PATH") else []
    if library_path:
        env["LD_LIBRARY_PATH"] = ":".join(library_path)
    return env


class Runner:
    """Starts one run at a time and collects what wait4 and region_timer say about it."""

    def __init__(self, paths, environ):
        self.paths, self.caller = paths, dict(environ)
        self.output = os.memfd_create("output", os.MFD_CLOEXEC)
        # Not on RECORD_FD itself: dup2 onto itself would leave it closed on exec.
        self.record = os.memfd_create("record", os.MFD_CLOEXEC)
        if self.record == RECORD_FD:
            self.record = os.dup(RECORD_FD)  # the copy is close-on-exec, as os.dup makes it
            os.close(RECORD_FD)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        for fd in (self.output, self.record):
            os.close(fd)

    def run(self, config, timed, round_number=None, check=False):
        """One run: its configuration, whether it was timed inside, round, wall and CPU seconds,
        context switches and phases. With check, the output must be the program's line."""
        program = self.paths.serial if config.serial else self.paths.program
        env = environment(config, self.paths, self.caller, timed)
        for fd in (self.output, self.record):
            os.ftruncate(fd, 0)
            os.lseek(fd, 0, os.SEEK_SET)
        actions = [(os.POSIX_SPAWN_DUP2, self.output, 1),
                   *[(os.POSIX_SPAWN_DUP2, self.record, RECORD_FD)] * timed]
        spawned = time.monotonic_ns()
        pid = os.posix_spawn(str(program), [str(program)], env, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        reaped = time.monotonic_ns()
        what = config.name + (" with region_timer" if timed else "")
        if status != 0:
            raise BenchError(f"{what} {describe_exit(os.waitstatus_to_exitcode(status))}")
        if check and (printed := os.pread(self.output, 4096, 0)) != EXPECTED:
            raise BenchError(f"{what} printed {printed[:60]!r}, not {EXPECTED!r}")
        sample = {"config": config, "timer": timed, "round": round_number,
                  "wall": (reaped - spawned) / 1e9, "cpu": usage.ru_utime + usage.ru_stime,
                  "nvcsw": usage.ru_nvcsw, "nivcsw": usage.ru_nivcsw, "phases": None}
        if timed:
            text = os.pread(self.record, os.fstat(self.record).st_size, 0)
            try:
                sample["phases"] = records.parse(text.decode("ascii", "replace"), spawned, reaped)
            except BenchError as error:
                raise BenchError(f"{what}: {error}") from None
        return sample


def variants(configs):
    """Every configuration without the timer, and every OpenMP one with it."""
    return [(c, False) for c in configs] + [(c, True) for c in configs if not c.serial]


def measure(runner, configs, rounds, runs, warmup, rng, cpus, progress=None):
    """All the runs, after a check of every variant's output and record, and warmup runs. In a
    round each variant runs runs_per_round times, in passes: each pass runs the variants due
    in it in a fresh random order, so that drift in the machine's load falls on all alike; a
    variant with fewer runs is due in passes spread evenly over the round."""
    pairs = variants(configs)
    for config, timed in pairs:
        runner.run(config, timed, check=True)
    for config, timed in pairs * warmup:
        runner.run(config, timed)
    due = [{i * runs // n for i in range(n)}
           for n in (runs_per_round(config.threads, runs, cpus) for config, _ in pairs)]
    samples = []
    for round_number in range(rounds):
        if progress:
            progress(f"run_bench: round {round_number + 1} of {rounds}")
        for number in range(runs):
            now = [pair for pair, passes in zip(pairs, due) if number in passes]
            for config, timed in rng.sample(now, len(now)):
                samples.append(runner.run(config, timed, round_number))
    return samples
