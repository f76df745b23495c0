# SPDX-License-Identifier: MIT
"""From the raw runs to the numbers the tables, the CSV and the figures show."""

import statistics
from dataclasses import dataclass, field

from . import stats
from .records import PHASES


def by_round(samples, config, timer=False, source="spawn", key="wall"):
    """Values of key for one configuration, as a list per round (rounds in order)."""
    rounds = {}
    for s in samples:
        if s["config"] == config and s["timer"] == timer and s["source"] == source:
            value = s[key] if key in s else s["phases"][key]
            rounds.setdefault(s["round"], []).append(value)
    return [rounds[r] for r in sorted(rounds)]


@dataclass
class Results:
    configs: list
    serial_median: float
    whole: dict = field(default_factory=dict)  # name -> Summary of wall times without timer
    ratio: dict = field(default_factory=dict)  # name -> (mean / serial mean, low, high)
    usage: dict = field(default_factory=dict)  # name -> mean cpu, nvcsw, nivcsw per run
    hyperfine: dict = field(default_factory=dict)  # name -> Summary of hyperfine's wall times
    phases: dict = field(default_factory=dict)  # name -> phase key -> mean seconds, and "total"
    overhead: dict = field(default_factory=dict)  # name -> (with / without the timer, low, high)
    typical: dict = field(default_factory=dict)  # name -> phases of the run with the median region
    walls: dict = field(default_factory=dict)  # name -> every wall time without the timer

    def samples_of(self, config):
        return self.walls[config.name]

    def parallel(self):
        return [c for c in self.configs if not c.serial]


def analyse(samples, configs, rng):
    serial = configs[0]
    serial_rounds = by_round(samples, serial)
    serial_median = statistics.median(v for r in serial_rounds for v in r)
    results = Results(configs=configs, serial_median=serial_median)
    for config in configs:
        rounds = by_round(samples, config)
        results.walls[config.name] = [v for r in rounds for v in r]
        results.whole[config.name] = stats.summarize(rounds, rng, 2 * serial_median)
        mean = stats.pooled_mean(rounds, range(len(rounds))) / stats.pooled_mean(
            serial_rounds, range(len(serial_rounds)))
        results.ratio[config.name] = (mean, *stats.ratio_interval(rounds, serial_rounds, rng))
        results.usage[config.name] = {
            key: statistics.fmean(v for r in by_round(samples, config, key=key) for v in r)
            for key in ("cpu", "nvcsw", "nivcsw")}
        hyperfine = by_round(samples, config, source="hyperfine")
        if hyperfine:
            results.hyperfine[config.name] = stats.summarize(hyperfine, rng, 2 * serial_median)
        if config.serial:
            continue
        timed = [s for s in samples if s["config"] == config and s["timer"]]
        results.phases[config.name] = {
            key: statistics.fmean(s["phases"][key] for s in timed) for key, _ in PHASES}
        results.phases[config.name]["total"] = statistics.fmean(s["wall"] for s in timed)
        with_timer = by_round(samples, config, timer=True)
        ratio = stats.pooled_mean(with_timer, range(len(with_timer))) / stats.pooled_mean(
            rounds, range(len(rounds)))
        results.overhead[config.name] = (ratio, *stats.ratio_interval(with_timer, rounds, rng))
        ordered = sorted(timed, key=lambda s: s["phases"]["region"])
        results.typical[config.name] = ordered[len(ordered) // 2]["phases"]
    return results
