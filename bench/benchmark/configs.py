# SPDX-License-Identifier: MIT
"""What is run (bench/README.md's "What is run" says why)."""

from dataclasses import dataclass

# Settings of the runtime, each beside the default: (label, variables it sets).
SETTINGS = [("default", ()), ("passive", (("OMP_WAIT_POLICY", "passive"),)),
            ("active", (("OMP_WAIT_POLICY", "active"),)),
            ("bind close", (("OMP_PROC_BIND", "close"),))]
SETTING_NOTE = ("passive and active set OMP_WAIT_POLICY, bind close sets OMP_PROC_BIND=close "
                "(each thread pinned, the team on consecutive CPUs from its creator's, one "
                "thread to a CPU while there are enough); default sets neither")
SWEEP_SETTINGS = ("default", "passive")
# libomp takes far longer than libgomp to start a team of one. Each of these runs that team
# with one thing changed: (label, variables it sets, library it preloads).
INIT_CONDITIONS = [("initialised early", (), "libearly_init.so"),
                   ("affinity disabled", (("KMP_AFFINITY", "disabled"),), "")]
INIT_NOTE = ("initialised early preloads early_init.c, which has the runtime initialise "
             "itself before main; affinity disabled sets KMP_AFFINITY=disabled")
LARGEST_TEAM = 1024


@dataclass(frozen=True)
class Config:
    runtime: str  # "libgomp", "libomp", or "-" for the serial build
    threads: int  # team size, 0 for the serial build
    setting: str
    variables: tuple = ()  # (name, value) pairs
    sweep: bool = False  # whether the team-size sweep includes it
    preload: str = ""  # a library of the benchmark's own to preload, by file name

    @property
    def serial(self):
        return self.runtime == "-"

    @property
    def name(self):
        return "serial build" if self.serial else f"{self.runtime} T={self.threads} {self.setting}"


SERIAL = Config("-", 0, "serial build")


def team_sizes(cpus):
    """The sizes every setting runs at: 1, 2, the CPUs the process may use, four times that."""
    return sorted({1, 2, cpus, 4 * cpus})


def sweep_sizes(cpus):
    """Powers of two up to LARGEST_TEAM, and the CPU count."""
    return sorted({2 ** k for k in range(LARGEST_TEAM.bit_length())} | {cpus})


def runs_per_round(threads, runs, cpus):
    """Runs of a team in each round: all up to four times the CPUs, then fewer in proportion
    to the team, at least one, so that a team of 1024 does not take most of the run."""
    return max(1, min(runs, runs * 4 * cpus // max(threads, 1)))


def configurations(cpus, runtimes):
    """The serial build, then by runtime and team size each setting (only the sweep's at sizes
    only the sweep has), and on libomp the conditions of a team of one after its settings."""
    configs, sweep = [SERIAL], sweep_sizes(cpus)
    for runtime in runtimes:
        for threads in sorted({*team_sizes(cpus), *sweep}):
            for label, variables in SETTINGS:
                if threads in team_sizes(cpus) or label in SWEEP_SETTINGS:
                    configs.append(Config(runtime, threads, label,
                                          (("OMP_NUM_THREADS", str(threads)),) + variables,
                                          threads in sweep and label in SWEEP_SETTINGS))
            if runtime == "libomp" and threads == 1:
                configs += [Config(runtime, 1, label, (("OMP_NUM_THREADS", "1"),) + variables,
                                   preload=preload)
                            for label, variables, preload in INIT_CONDITIONS]
    return configs

