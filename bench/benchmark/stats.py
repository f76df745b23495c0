# SPDX-License-Identifier: MIT
"""From the raw runs to the numbers that the tables and the figures show, by the rules of
bench/README.md's "How the numbers are summarised"."""

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
# Above this share of all the machine's CPU time during the runs, taken by the host (steal) or
# kept busy by other processes, the numbers are not the machine's own and --readme refuses
# them (why this share: bench/README.md, "How a run is measured").
FOREIGN_LIMIT = 0.10


def pooled_mean(rounds, picks):
    """Mean over every run of the picked rounds (a round picked twice counts twice)."""
    return sum(sum(rounds[i]) for i in picks) / sum(len(rounds[i]) for i in picks)


def bootstrap(count, rng, statistic, resamples=None):
    """(value, low, high): statistic(picks) of all count rounds, and its percentile interval
    over resamples of count whole rounds."""
    values = [statistic(rng.choices(range(count), k=count))
              for _ in range(resamples or BOOTSTRAP_RESAMPLES)]
    # With n = 2 / (1 - CONFIDENCE) parts, the first and last cut points are the two tails.
    cuts = statistics.quantiles(values, n=round(2 / (1 - CONFIDENCE)), method="inclusive")
    return statistic(range(count)), cuts[0], cuts[-1]


def ratio(numerator, denominator, rng):
    """(ratio, low, high) of two pooled means taken in the same rounds: each resample picks
    rounds and uses them for both, since both felt the same machine in a round."""
    return bootstrap(len(numerator), rng, lambda picks: pooled_mean(numerator, picks) /
                     pooled_mean(denominator, picks))


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
    share_slow: float  # of the runs above slow_above


def summarize(rounds, rng, slow_above):
    """Summary of runs given round by round (a list of lists of times)."""
    values = [v for r in rounds for v in r]
    return Summary(values, statistics.median(values),
                   bootstrap(len(rounds), rng, functools.partial(pooled_mean, rounds)),
                   sum(v > slow_above for v in values) / len(values))


def serial_warnings(rounds):
    """Warnings that the machine was too noisy, from the serial build's runs (the steadiest of
    all) given round by round: its runs spread too wide, or its rounds disagree."""
    values = [v for r in rounds for v in r]
    twice, means = 2 * statistics.median(values), [statistics.fmean(r) for r in rounds]
    slow = sum(v > twice for v in values) / len(values)
    spread = max(means) / min(means) - 1
    return [text for text, noisy in (
        (f"{slow:.0%} of the serial build's runs took over twice its median (more than "
         f"{SERIAL_SLOW_SHARE:.0%}): the machine was busy", slow > SERIAL_SLOW_SHARE),
        (f"the serial build's slowest round was {spread:.0%} slower than its fastest (more than "
         f"{SERIAL_ROUND_SPREAD:.0%}): the machine's load changed during the run",
         spread > SERIAL_ROUND_SPREAD)) if noisy]


def foreign(stolen, others):
    """Why the numbers are not the machine's own, given the shares of its CPU time that the
    host took and that other processes used during the runs; [] where they are."""
    return [f"{share:.1%} of the machine's CPU time during the runs {what} (more than "
            f"{FOREIGN_LIMIT:.0%}): the numbers are not the machine's own"
            for share, what in ((stolen, "was taken by the host"),
                                (others, "went to other processes")) if share > FOREIGN_LIMIT]


def by_round(samples):
    """Wall times of one configuration's samples, as a list per round, rounds in order."""
    rounds = {}
    for s in samples:
        rounds.setdefault(s["round"], []).append(s["wall"])
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
        rounds, untimed = by_round(runs[config, False]), runs[config, False]
        results.whole[config.name] = summarize(rounds, rng, 2 * serial_median)
        results.ratio[config.name] = ratio(rounds, serial_rounds, rng)
        results.usage[config.name] = {key: statistics.fmean(s[key] for s in untimed)
                                      for key in ("cpu", "nvcsw", "nivcsw")}
        if not config.serial:
            timed = runs[config, True]
            results.phases[config.name] = {key: statistics.fmean(s["phases"][key] for s in timed)
                                           for key, _ in PHASES}
            results.phases[config.name]["total"] = statistics.fmean(s["wall"] for s in timed)
            results.overhead[config.name] = ratio(by_round(timed), rounds, rng)
    # The cost of each thread beyond the CPUs: the slope of the mean whole-process time
    # against the team size, from the CPU count up.
    for key in {(c.runtime, c.setting) for c in configs if c.sweep}:
        fitted = sorted((c.threads, by_round(runs[c, False])) for c in configs
                        if c.sweep and (c.runtime, c.setting) == key and c.threads >= cpus)
        results.growth[key] = bootstrap(len(fitted[0][1]), rng, functools.partial(
            slope, [t for t, _ in fitted], [r for _, r in fitted]))
    return results
