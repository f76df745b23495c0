# SPDX-License-Identifier: MIT
"""What is run: the serial baseline, and each team size under each runtime setting, on each
OpenMP runtime that is installed."""

from dataclasses import dataclass
from pathlib import Path

# Settings of the runtime, each beside the default: (label, variables it sets).
SETTINGS = [
    ("default", ()),
    ("passive", (("OMP_WAIT_POLICY", "passive"),)),
    ("active", (("OMP_WAIT_POLICY", "active"),)),
    ("bind close", (("OMP_PROC_BIND", "close"),)),
]
SETTING_NOTE = ("passive and active set OMP_WAIT_POLICY, bind close sets OMP_PROC_BIND=close "
                "(each thread pinned, the team on consecutive CPUs from its creator's, one "
                "thread to a CPU while there are enough); default sets neither")


@dataclass(frozen=True)
class Config:
    runtime: str  # "libgomp", "libomp", or "-" for the serial build
    threads: str  # team size, or "-" for the serial build
    setting: str
    variables: tuple = ()  # (name, value) pairs

    @property
    def serial(self):
        return self.runtime == "-"

    @property
    def name(self):
        if self.serial:
            return "serial build"
        return f"{self.runtime} T={self.threads} {self.setting}"


SERIAL = Config("-", "-", "serial build")


def team_sizes(cpus):
    """1, 2, the CPUs the process may use and four times that."""
    return sorted({1, 2, cpus, 4 * cpus})


def configurations(cpus, runtimes):
    """The serial build first, then runtime by runtime, team size by team size, each setting."""
    configs = [SERIAL]
    for runtime in runtimes:
        for threads in team_sizes(cpus):
            for label, variables in SETTINGS:
                configs.append(Config(runtime, str(threads), label,
                                      (("OMP_NUM_THREADS", str(threads)),) + variables))
    return configs


def runtimes(alt_runtime_dir):
    """libgomp, and LLVM's libomp where the build found it (a directory in which libgomp.so.1
    is libomp.so.5)."""
    found = ["libgomp"]
    if (Path(alt_runtime_dir) / "libgomp.so.1").exists():
        found.append("libomp")
    return found
