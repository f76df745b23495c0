# SPDX-License-Identifier: MIT
"""What the test modules share: a runner that tells CTest when every test was skipped, and
made-up runs to feed the statistics, tables and figures."""

import sys
import unittest

from . import records, results
from .configs import SERIAL, configurations

SKIPPED = 77  # CTest's SKIP_RETURN_CODE for the bench cases


def main():
    """Runs the calling module's tests; exits 77 when any was skipped and none failed, so that
    CTest reports the case as skipped, with the reasons, rather than as passed."""
    program = unittest.main(module="__main__", exit=False, verbosity=2)
    result = program.result
    if result.skipped and result.wasSuccessful():
        reasons = sorted({reason for _, reason in result.skipped})
        print("skipped: " + "; ".join(reasons))
        sys.exit(SKIPPED)
    sys.exit(0 if result.wasSuccessful() else 1)


def record_line(team, spawned, wall, timed=None):
    """A region_timer record for a run of wall seconds started at spawned (ns): start-up 60%
    of it, the region 20%, thread t entering at (t + 1) / (team + 1) of the region and
    leaving a tenth of the region later, or at its end."""
    ns = int(wall * 1e9)
    start = spawned + ns * 6 // 10
    region = ns * 2 // 10
    fields = [start, start + region, team, team if timed is None else timed]
    for t in range(fields[3]):
        enter = region * (t + 1) // (team + 2)
        fields += [enter, min(region, enter + region // 10)]
    return " ".join(map(str, fields))


def fake_samples(configs, wall, rounds=5, runs=6, timer_cost=1.05):
    """Runs of every configuration, with and without the timer: wall(config, round, run) gives
    the seconds of a run without it; a run with it takes timer_cost times as long."""
    samples = []
    clock = 10**9
    for r in range(rounds):
        for i in range(runs):
            for config in configs:
                w = wall(config, r, i)
                samples.append({"source": "spawn", "config": config, "timer": False, "round": r,
                                "wall": w, "cpu": 0.9 * w, "nvcsw": 1, "nivcsw": 2,
                                "phases": None})
                if config.serial:
                    continue
                timed = w * timer_cost
                ns = int(timed * 1e9)
                phases = records.parse(record_line(int(config.threads), clock, timed), clock,
                                       clock + ns)
                samples.append({"source": "spawn", "config": config, "timer": True,
                                "round": r, "wall": ns / 1e9, "cpu": 0.9 * timed, "nvcsw": 3,
                                "nivcsw": 4, "phases": phases})
                clock += ns + 1000
    return samples


def fake_results(cpus, wall, runtimes=("libgomp", "libomp"), **kwargs):
    """(configs, samples, analysed results) for a machine with cpus CPUs."""
    import random  # pylint: disable=import-outside-toplevel

    configs = configurations(cpus, list(runtimes))
    samples = fake_samples(configs, wall, **kwargs)
    return configs, samples, results.analyse(samples, configs, random.Random(0))


def steady(serial=1.5e-3, parallel=1.6e-3):
    """A wall() for fake_samples: the serial build and every other configuration each at one
    level, with a little spread."""
    def wall(config, r, i):
        base = serial if config == SERIAL else parallel
        return base * (1 + 0.01 * ((r * 7 + i * 3) % 5))
    return wall
