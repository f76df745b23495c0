# SPDX-License-Identifier: MIT
"""The statistics against independent calculations on fixed samples."""

import itertools
import math
import random
import statistics
import unittest

from . import stats, testing


class Percentiles(unittest.TestCase):
    def test_fixed_and_random_samples(self):
        values = sorted([7.0, 1.0, 10.0, 4.0, 2.0, 9.0, 3.0, 8.0, 6.0, 5.0])
        # Linear interpolation between order statistics, by hand: position p * (n - 1).
        self.assertAlmostEqual(stats.percentile(values, 0.1), 1.9)
        self.assertAlmostEqual(stats.percentile(values, 0.5), 5.5)
        self.assertAlmostEqual(stats.percentile(values, 0.9), 9.1)
        self.assertEqual(stats.percentile([3.0], 0.9), 3.0)
        rng = random.Random(4)
        for n in (2, 3, 11, 100):
            values = sorted(rng.lognormvariate(0, 1) for _ in range(n))
            deciles = statistics.quantiles(values, n=10, method="inclusive")
            with self.subTest(n=n):
                self.assertAlmostEqual(stats.percentile(values, 0.1), deciles[0])
                self.assertAlmostEqual(stats.percentile(values, 0.9), deciles[-1])
                self.assertAlmostEqual(stats.percentile(values, 0.5), statistics.median(values))


class RoundBootstrap(unittest.TestCase):
    rounds = [[1.0, 1.2, 1.1], [2.0, 2.2], [1.5, 1.4, 1.6, 1.5], [3.0]]

    def test_matches_the_exact_distribution_of_round_resamples(self):
        # Every ordered choice of four rounds is equally likely: 256 of them.
        k = len(self.rounds)
        exact = sorted(sum(sum(self.rounds[i]) for i in picks) /
                       sum(len(self.rounds[i]) for i in picks)
                       for picks in itertools.product(range(k), repeat=k))
        low, high = stats.round_bootstrap(self.rounds, random.Random(1), resamples=40000)
        spread = exact[-1] - exact[0]
        self.assertAlmostEqual(low, stats.percentile(exact, 0.025), delta=0.02 * spread)
        self.assertAlmostEqual(high, stats.percentile(exact, 0.975), delta=0.02 * spread)

    def test_rounds_that_differ_widen_the_interval(self):
        # Runs alike within a round, rounds apart: resampling runs alone would claim a
        # precision that resampling rounds does not.
        rng = random.Random(2)
        rounds = [[level + rng.gauss(0, 0.01) for _ in range(30)]
                  for level in (1.0, 1.3, 0.9, 1.2, 1.1, 1.0)]
        low, high = stats.round_bootstrap(rounds, random.Random(3))
        runs = [[v] for r in rounds for v in r]
        run_low, run_high = stats.round_bootstrap(runs, random.Random(3))
        self.assertGreater(high - low, 2 * (run_high - run_low))
        mean = statistics.fmean(v for r in rounds for v in r)
        self.assertLess(low, mean)
        self.assertGreater(high, mean)

    def test_ratio_resamples_both_sides_with_the_same_rounds(self):
        serial = [[level, level * 1.01] for level in (1.0, 2.0, 1.5, 3.0, 0.5)]
        doubled = [[2 * v for v in r] for r in serial]
        low, high = stats.ratio_interval(doubled, serial, random.Random(5))
        self.assertAlmostEqual(low, 2.0)
        self.assertAlmostEqual(high, 2.0)
        with self.assertRaises(ValueError):
            stats.ratio_interval(doubled, serial[:-1], random.Random(5))


class Clusters(unittest.TestCase):
    def test_two_clusters_are_found_with_their_shares_and_medians(self):
        rng = random.Random(6)
        samples = ([4e-3 * (1 + rng.uniform(-0.05, 0.05)) for _ in range(90)] +
                   [8e-3 * (1 + rng.uniform(-0.05, 0.05)) for _ in range(210)])
        found = stats.clusters(rng.sample(samples, len(samples)))
        self.assertEqual(len(found), 2)
        self.assertAlmostEqual(found[0].share, 0.3)
        self.assertAlmostEqual(found[1].share, 0.7)
        self.assertAlmostEqual(found[0].median, statistics.median(sorted(samples)[:90]))
        self.assertAlmostEqual(found[1].median, statistics.median(sorted(samples)[90:]))
        self.assertLess(found[0].high, found[1].low)

    def test_one_spread_is_one_cluster(self):
        rng = random.Random(7)
        shapes = {
            "normal": [rng.gauss(1.6e-3, 0.1e-3) for _ in range(300)],
            "uniform": [rng.uniform(1.4e-3, 1.8e-3) for _ in range(300)],
            "skewed": [rng.lognormvariate(math.log(1.6e-3), 0.3) for _ in range(300)],
            "few slow runs": [1.6e-3] * 97 + [5e-3] * 3,
            "all equal": [2e-3] * 20,
        }
        for shape, samples in shapes.items():
            with self.subTest(shape=shape):
                found = stats.clusters(samples)
                self.assertEqual(len(found), 1)
                self.assertEqual(found[0].share, 1.0)
                self.assertAlmostEqual(found[0].median, statistics.median(samples))


class Summary(unittest.TestCase):
    def test_fields(self):
        rounds = [[1.0, 2.0, 3.0], [4.0, 5.0], [6.0, 7.0, 8.0, 9.0, 10.0]]
        summary = stats.summarize(rounds, random.Random(8), slow_above=8.0)
        self.assertEqual(summary.runs, 10)
        self.assertAlmostEqual(summary.mean, 5.5)
        self.assertAlmostEqual(summary.median, 5.5)
        self.assertAlmostEqual(summary.p10, 1.9)
        self.assertAlmostEqual(summary.share_slow, 0.2)  # 9 and 10; 8 is not above 8
        self.assertLessEqual(summary.mean_low, summary.mean)
        self.assertGreaterEqual(summary.mean_high, summary.mean)
        with self.assertRaises(ValueError):
            stats.summarize([[1.0], []], random.Random(8))


if __name__ == "__main__":
    testing.main()
