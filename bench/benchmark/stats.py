# SPDX-License-Identifier: MIT
"""Summaries of timed runs that respect how they were taken.

Runs are taken in rounds, and runs within a round share the state of the machine at that time,
so they are not independent of each other: intervals come from resampling whole rounds (a
cluster bootstrap), never single runs. A distribution that falls into separate clusters is
reported cluster by cluster, with its mean, rather than by a median that may land in either
cluster or in the gap between them.
"""

import math
import statistics
from dataclasses import dataclass, field

BOOTSTRAP_RESAMPLES = 2000
CONFIDENCE = 0.95
# A split of the (log) times into two clusters is kept when it explains at least this share of
# their variance (a single normal or uniform spread split in two gives 0.64 and 0.75) ...
CLUSTER_MIN_EXPLAINED = 0.8
# ... and each side holds at least this share of all the runs (and three runs).
CLUSTER_MIN_SHARE = 0.05
MAX_CLUSTERS = 3


def percentile(ordered, fraction):
    """The fraction-quantile of sorted values, interpolating linearly between order statistics
    (numpy's default, and statistics.quantiles' "inclusive" method)."""
    if not ordered:
        raise ValueError("no values")
    position = fraction * (len(ordered) - 1)
    below = math.floor(position)
    above = min(below + 1, len(ordered) - 1)
    return ordered[below] + (ordered[above] - ordered[below]) * (position - below)


def pooled_mean(rounds, picks):
    """Mean over every run of the picked rounds (a round picked twice counts twice)."""
    total = sum(sum(rounds[i]) for i in picks)
    count = sum(len(rounds[i]) for i in picks)
    return total / count


def round_bootstrap(rounds, rng, statistic=pooled_mean, resamples=BOOTSTRAP_RESAMPLES):
    """Percentile interval of statistic(rounds, picks) over resamples of whole rounds."""
    indices = range(len(rounds))
    values = sorted(statistic(rounds, rng.choices(indices, k=len(rounds)))
                    for _ in range(resamples))
    tail = (1 - CONFIDENCE) / 2
    return percentile(values, tail), percentile(values, 1 - tail)


def ratio_interval(numerator, denominator, rng, resamples=BOOTSTRAP_RESAMPLES):
    """Interval for the ratio of two pooled means taken in the same rounds: each resample
    picks rounds and uses them for both, since both felt the same machine in a round."""
    if len(numerator) != len(denominator):
        raise ValueError("the two samples must come from the same rounds")

    def ratio(_, picks):
        return pooled_mean(numerator, picks) / pooled_mean(denominator, picks)

    return round_bootstrap(numerator, rng, ratio, resamples)


@dataclass
class Cluster:
    share: float
    median: float
    low: float
    high: float


def _explained(logs):
    """Best split of sorted values in two: (index of the first value of the upper part,
    share of the variance the split explains)."""
    n = len(logs)
    mean = statistics.fmean(logs)
    total = sum((x - mean) ** 2 for x in logs)
    if total == 0:
        return None, 0.0
    best, best_between = None, -1.0
    prefix, whole = 0.0, sum(logs)
    for k in range(1, n):
        prefix += logs[k - 1]
        lower, upper = prefix / k, (whole - prefix) / (n - k)
        between = k * (lower - mean) ** 2 + (n - k) * (upper - mean) ** 2
        if between > best_between:
            best, best_between = k, between
    return best, best_between / total


def clusters(samples):
    """The runs' clusters, fastest first: each with its share of the runs, median and range.
    One cluster unless the log times split cleanly (see CLUSTER_MIN_EXPLAINED)."""
    values = sorted(samples)
    if not values:
        return []
    if values[0] <= 0:
        raise ValueError("times must be positive")
    logs = [math.log(v) for v in values]
    min_size = max(3, math.ceil(CLUSTER_MIN_SHARE * len(values)))
    parts = [(0, len(values))]
    changed = True
    while changed and len(parts) < MAX_CLUSTERS:
        changed = False
        for i, (begin, end) in enumerate(parts):
            cut, explained = _explained(logs[begin:end])
            if cut is None or explained < CLUSTER_MIN_EXPLAINED:
                continue
            if cut < min_size or end - begin - cut < min_size:
                continue
            parts[i:i + 1] = [(begin, begin + cut), (begin + cut, end)]
            changed = True
            break
    return [Cluster(share=(end - begin) / len(values), median=statistics.median(values[begin:end]),
                    low=values[begin], high=values[end - 1]) for begin, end in parts]


@dataclass
class Summary:
    """What the tables show of one configuration's runs of one measure."""
    runs: int
    p10: float
    median: float
    p90: float
    mean: float
    mean_low: float
    mean_high: float
    clusters: list = field(default_factory=list)
    share_slow: float = None


def summarize(rounds, rng, slow_above=None):
    """Summary of runs given round by round (a list of lists of times)."""
    values = sorted(v for r in rounds for v in r)
    if len(values) < 2 or any(not r for r in rounds):
        raise ValueError("every round needs runs, and at least two runs in all")
    low, high = round_bootstrap(rounds, rng)
    return Summary(
        runs=len(values),
        p10=percentile(values, 0.1),
        median=percentile(values, 0.5),
        p90=percentile(values, 0.9),
        mean=statistics.fmean(values),
        mean_low=low,
        mean_high=high,
        clusters=clusters(values),
        share_slow=None if slow_above is None else sum(v > slow_above for v in values) / len(values),
    )
