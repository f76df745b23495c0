# SPDX-License-Identifier: MIT
"""From the raw runs to the numbers that the tables and the figures show. The runs of a
round share the state of the machine, so they are not independent: every interval resamples
whole rounds (a cluster bootstrap), never single runs. Means are reported rather than
medians, since runs can fall into separate groups and a median then lands in one of them or
in the gap; the phases' means also add up to the whole run, which medians would not."""

import functools
import statistics
from dataclasses import dataclass, field

from .configs import team_sizes
from .records import PHASES

BOOTSTRAP_RESAMPLES = 2000
CONFIDENCE = 0.95
# The serial build is noisy when more than this share of its runs take over twice its median...
SERIAL_SLOW_SHARE = 0.05
# ... or when its slowest round's mean is more than this much above its fastest round's.
SERIAL_ROUND_SPREAD = 0.25


def pooled_mean(rounds, picks):
    """Mean over every run of the picked rounds (a round picked twice counts twice)."""
    return sum(sum(rounds[i]) for i in picks) / sum(len(rounds[i]) for i in picks)


def bootstrap(count, rng, statistic, resamples=None):
    """Percentile interval of statistic(picks) over resamples of count whole rounds."""
    values = [statistic(rng.choices(range(count), k=count))
              for _ in range(resamples or BOOTSTRAP_RESAMPLES)]
    # With n = 2 / (1 - CONFIDENCE) parts, the first and last cut points are the two tails.
    cuts = statistics.quantiles(values, n=round(2 / (1 - CONFIDENCE)), method="inclusive")
    return cuts[0], cuts[-1]


def ratio(numerator, denominator, rng):
    """(ratio, low, high) of two pooled means taken in the same rounds: each resample picks
    rounds and uses them for both, since both felt the same machine in a round."""
    if len(numerator) != len(denominator):
        raise ValueError("the two samples must come from the same rounds")
    return (pooled_mean(numerator, range(len(numerator))) /
            pooled_mean(denominator, range(len(numerator))),
            *bootstrap(len(numerator), rng, lambda picks: pooled_mean(numerator, picks) /
                       pooled_mean(denominator, picks)))


def slope(sizes, rounds_per_size, picks):
    """Least-squares slope of the pooled means of the picked rounds against sizes."""
    means = [pooled_mean(rounds, picks) for rounds in rounds_per_size]
    return statistics.linear_regression(sizes, means).slope


@dataclass
class Summary:
    """What the tables show of one configuration's runs of one measure."""
    values: list  # every run
    median: float
    mean: tuple  # (mean, low, high)
    share_slow: float = None


def summarize(rounds, rng, slow_above=None):
    """Summary of runs given round by round (a list of lists of times)."""
    values = [v for r in rounds for v in r]
    if len(values) < 2 or any(not r for r in rounds):
        raise ValueError("every round needs runs, and at least two runs in all")
    mean = (statistics.fmean(values),
            *bootstrap(len(rounds), rng, lambda picks: pooled_mean(rounds, picks)))
    slow = None if slow_above is None else sum(v > slow_above for v in values) / len(values)
    return Summary(values, statistics.median(values), mean, slow)


def serial_warnings(rounds):
    """Warnings that the machine was too noisy, from the serial build's runs (the steadiest of
    all) given round by round: its runs spread too wide, or its rounds disagree."""
    values = [v for r in rounds for v in r]
    median = statistics.median(values)
    warnings = []
    slow = sum(v > 2 * median for v in values) / len(values)
    if slow > SERIAL_SLOW_SHARE:
        warnings.append(f"{slow:.0%} of the serial build's runs took over twice its median "
                        f"(more than {SERIAL_SLOW_SHARE:.0%}): the machine was busy")
    means = [statistics.fmean(r) for r in rounds if r]
    spread = max(means) / min(means) - 1
    if spread > SERIAL_ROUND_SPREAD:
        warnings.append(f"the serial build's slowest round was {spread:.0%} slower than its "
                        f"fastest (more than {SERIAL_ROUND_SPREAD:.0%}): the machine's load "
                        f"changed during the run")
    return warnings


def by_round(samples, key="wall"):
    """Values of key of one configuration's samples, as a list per round, rounds in order."""
    rounds = {}
    for s in samples:
        rounds.setdefault(s["round"], []).append(s[key] if key in s else s["phases"][key])
    return [rounds[r] for r in sorted(rounds)]


@dataclass
class Results:
    configs: list
    serial_median: float
    warnings: list  # that the machine was too noisy
    whole: dict = field(default_factory=dict)  # name -> Summary of wall times without timer
    ratio: dict = field(default_factory=dict)  # name -> (mean / serial mean, low, high)
    usage: dict = field(default_factory=dict)  # name -> mean cpu, nvcsw, nivcsw per run
    phases: dict = field(default_factory=dict)  # name -> phase key -> mean seconds, and "total"
    overhead: dict = field(default_factory=dict)  # name -> (with / without the timer, low, high)
    growth: dict = field(default_factory=dict)  # (runtime, setting) -> (slope, low, high)

    def tabled(self, cpus):
        """The serial build and every setting at the tables' team sizes (not the sweep's)."""
        return [c for c in self.configs if c.serial or c.threads in team_sizes(cpus)]

    def find(self, runtime, threads, setting):
        return next((c for c in self.configs if (c.runtime, c.threads, c.setting) ==
                     (runtime, threads, setting)), None)


def analyse(samples, configs, cpus, rng):
    runs = {}
    for s in samples:
        runs.setdefault((s["config"], s["timer"]), []).append(s)
    serial_rounds = by_round(runs[configs[0], False])
    serial_median = statistics.median(v for r in serial_rounds for v in r)
    results = Results(configs, serial_median, serial_warnings(serial_rounds))
    for config in configs:
        rounds = by_round(runs[config, False])
        results.whole[config.name] = summarize(rounds, rng, 2 * serial_median)
        results.ratio[config.name] = ratio(rounds, serial_rounds, rng)
        results.usage[config.name] = {key: statistics.fmean(s[key] for s in runs[config, False])
                                      for key in ("cpu", "nvcsw", "nivcsw")}
        if config.serial:
            continue
        timed = runs[config, True]
        results.phases[config.name] = {
            key: statistics.fmean(s["phases"][key] for s in timed) for key, _ in PHASES}
        results.phases[config.name]["total"] = statistics.fmean(s["wall"] for s in timed)
        results.overhead[config.name] = ratio(by_round(timed), rounds, rng)
    # The cost of each thread beyond the CPUs: the slope of the mean whole-process time
    # against the team size, from the CPU count up.
    for key in {(c.runtime, c.setting) for c in configs if c.sweep}:
        fitted = sorted((c.threads, by_round(runs[c, False])) for c in configs
                        if c.sweep and (c.runtime, c.setting) == key and c.threads >= cpus)
        sizes, rounds = [t for t, _ in fitted], [r for _, r in fitted]
        fit = functools.partial(slope, sizes, rounds)
        results.growth[key] = (fit(range(len(rounds[0]))), *bootstrap(len(rounds[0]), rng, fit))
    return results
