# SPDX-License-Identifier: MIT
"""The statistics against independent calculations on fixed samples."""

import itertools
import random
import statistics
import unittest

from . import stats, test_fakes


class RoundBootstrap(unittest.TestCase):
    rounds = [[1.0, 1.2, 1.1], [2.0, 2.2], [1.5, 1.4, 1.6, 1.5], [3.0]]

    def test_matches_the_exact_distribution_of_round_resamples(self):
        # Every ordered choice of four rounds is equally likely: 256 of them.
        k = len(self.rounds)
        exact = [sum(sum(self.rounds[i]) for i in picks) /
                 sum(len(self.rounds[i]) for i in picks)
                 for picks in itertools.product(range(k), repeat=k)]
        cuts = statistics.quantiles(exact, n=40, method="inclusive")
        _, low, high = stats.bootstrap(
            k, random.Random(1), lambda picks: stats.pooled_mean(self.rounds, picks), 40000)
        spread = max(exact) - min(exact)
        self.assertAlmostEqual(low, cuts[0], delta=0.02 * spread)
        self.assertAlmostEqual(high, cuts[-1], delta=0.02 * spread)

    def test_rounds_that_differ_widen_the_interval(self):
        # Runs alike within a round, rounds apart: resampling runs alone would claim a
        # precision that resampling rounds does not.
        rng = random.Random(2)
        rounds = [[level + rng.gauss(0, 0.01) for _ in range(30)]
                  for level in (1.0, 1.3, 0.9, 1.2, 1.1, 1.0)]
        summary = stats.summarize(rounds, random.Random(3), 2)
        runs = stats.summarize([[v] for r in rounds for v in r], random.Random(3), 2)
        mean, low, high = summary.mean
        self.assertAlmostEqual(mean, statistics.fmean(v for r in rounds for v in r))
        self.assertGreater(high - low, 2 * (runs.mean[2] - runs.mean[1]))
        self.assertLess(low, mean)
        self.assertGreater(high, mean)

    def test_ratio_resamples_both_sides_with_the_same_rounds(self):
        serial = [[level, level * 1.01] for level in (1.0, 2.0, 1.5, 3.0, 0.5)]
        doubled = [[2 * v for v in r] for r in serial]
        for value in stats.ratio(doubled, serial, random.Random(5)):
            self.assertAlmostEqual(value, 2.0)

    def test_summary(self):
        rounds = [[1.0, 2.0, 3.0], [4.0, 5.0], [6.0, 7.0, 8.0, 9.0, 10.0]]
        summary = stats.summarize(rounds, random.Random(8), slow_above=8.0)
        self.assertEqual((len(summary.values), summary.mean[0], summary.median), (10, 5.5, 5.5))
        self.assertAlmostEqual(summary.share_slow, 0.2)  # 9 and 10; 8 is not above 8


class Growth(unittest.TestCase):
    def test_cost_per_thread_beyond_the_cpus(self):
        # Below the 4 CPUs a thread costs 1 ms, which must not enter the fit. Beyond them each
        # thread costs 30 µs on libgomp and 80 µs on libomp, 50 µs more under passive, and the
        # first one a stall of 200 threads' worth, which the fit from the CPU count sees. The
        # rounds' costs differ by up to 4%, and every sixth run takes half as long again, so
        # the means are 13/12 of the medians.
        per_thread = {("libgomp", "default"): 30e-6, ("libgomp", "passive"): 80e-6,
                      ("libomp", "default"): 80e-6, ("libomp", "passive"): 130e-6}

        def level(config, slope, r=2):
            beyond = (200 + config.threads - 4) * slope if config.threads > 4 else 0
            return min(config.threads, 4) * 1e-3 + beyond * (1 + 0.02 * (r % 5 - 2))

        def wall(config, r, i):
            slope = per_thread.get((config.runtime, config.setting), 0)
            return (1e-3 if config.serial else level(config, slope, r)) * (
                1.5 if i % 6 == 5 else 1)

        _, results = test_fakes.fake_results(4, wall)
        self.assertEqual(set(results.growth), set(per_thread))
        for (runtime, setting), slope in per_thread.items():
            sizes = [4, 8, 16, 32, 64, 128, 256, 512, 1024]
            means = [13 / 12 * level(results.find(runtime, t, setting), slope) for t in sizes]
            x, y = statistics.fmean(sizes), statistics.fmean(means)
            expected = (sum((t - x) * (m - y) for t, m in zip(sizes, means)) /
                        sum((t - x) ** 2 for t in sizes))
            value, low, high = results.growth[runtime, setting]
            with self.subTest((runtime, setting)):
                self.assertAlmostEqual(value, expected, delta=1e-3 * expected)
                self.assertLess(low, value)
                self.assertGreater(high, value)
                self.assertLess(high - low, 0.1 * expected)


class Noise(unittest.TestCase):
    def test_the_serial_build_spread(self):
        self.assertEqual(stats.serial_warnings([[1.5e-3, 1.6e-3, 1.55e-3]] * 5), [])
        busy = [[1.5e-3] * 9 + [4e-3]] * 5
        self.assertIn("10% of the serial build's runs", stats.serial_warnings(busy)[0])
        drifting = [[1.5e-3] * 5, [1.5e-3] * 5, [2e-3] * 5]
        self.assertIn("33% slower", stats.serial_warnings(drifting)[0])
        self.assertEqual(len(stats.serial_warnings(busy + drifting)), 2)

    def test_cpu_time_not_the_machine_own(self):
        limit = stats.FOREIGN_LIMIT
        self.assertEqual(stats.foreign(limit, limit), [])
        for stolen, others, what in ((limit + 0.001, 0, "was taken by the host"),
                                     (0, 0.5, "went to other processes")):
            with self.subTest(what):
                (reason,) = stats.foreign(stolen, others)
                self.assertIn(f"{max(stolen, others):.1%} of the machine's CPU time during the "
                              f"runs {what} (more than {limit:.0%})", reason)
        self.assertEqual(len(stats.foreign(1, 1)), 2)


if __name__ == "__main__":
    unittest.main()
