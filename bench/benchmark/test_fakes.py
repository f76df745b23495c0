# SPDX-License-Identifier: MIT
"""Made-up runs for the tests of the statistics, the report and the figures (no tests here)."""

import random
from unittest import mock

from . import records, stats
from .configs import configurations


def record_line(team, spawned, wall, timed=None):
    """A region_timer record for a run of wall seconds started at spawned (ns): start-up 60%
    of it, the region 20%, thread t entering at (t + 1) / (team + 2) of the region and
    leaving a tenth of the region later, or at its end."""
    ns = int(wall * 1e9)
    start = spawned + ns * 6 // 10
    region = ns * 2 // 10
    fields = [start, start + region, team, team if timed is None else timed]
    for t in range(fields[3]):
        enter = region * (t + 1) // (team + 2)
        fields += [enter, min(region, enter + region // 10)]
    return " ".join(map(str, fields))


def distinct(serial=1.1e-3, step=0.07):
    """A wall(config, round, run) for fake_samples in which no two configurations take the
    same time: the serial build serial seconds, each later configuration (in the order they
    are first asked for) step of that more than the one before. Each round is 1% slower than
    the last, and every sixth run takes half as long again, so that no median is a mean."""
    levels = {}

    def wall(config, r, i):
        level = levels.setdefault(config, serial * (1 + step * len(levels)))
        return level * (1 + 0.01 * r) * (1.5 if i % 6 == 5 else 1)
    return wall


def fake_samples(configs, wall, rounds=5, runs=6, timer_cost=1.05):
    """Runs of every configuration, with and without the timer: wall(config, round, run)
    gives the seconds of a run without it; a run with it takes timer_cost times as long, and
    uses 0.9 of its time on a CPU. The n-th configuration's runs make n + 1 voluntary and
    n + 1001 involuntary context switches without the timer, n + 2001 and n + 3001 with it."""
    samples, clock = [], 10**9
    for r in range(rounds):
        for i in range(runs):
            for n, config in enumerate(configs):
                w = wall(config, r, i)
                samples.append({"config": config, "timer": False, "round": r, "wall": w,
                                "cpu": 0.9 * w, "nvcsw": n + 1, "nivcsw": n + 1001,
                                "phases": None})
                if config.serial:
                    continue
                ns = int(w * timer_cost * 1e9)
                phases = records.parse(record_line(min(config.threads, 64), clock, ns / 1e9),
                                       clock, clock + ns)
                samples.append({"config": config, "timer": True, "round": r, "wall": ns / 1e9,
                                "cpu": 0.9 * ns / 1e9, "nvcsw": n + 2001, "nivcsw": n + 3001,
                                "phases": phases})
                clock += ns + 1000
    return samples


def fake_results(cpus, wall, runtimes=("libgomp", "libomp"), **kwargs):
    """(samples, analysed results) for a machine with cpus CPUs; fewer bootstrap resamples
    than a real run, for speed."""
    configs = configurations(cpus, list(runtimes))
    samples = fake_samples(configs, wall, **kwargs)
    with mock.patch.object(stats, "BOOTSTRAP_RESAMPLES", 200):
        return samples, stats.analyse(samples, configs, cpus, random.Random(0))
