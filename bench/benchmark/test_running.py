# SPDX-License-Identifier: MIT
"""The order of the runs: every configuration, with and without the timer, in every round,
in a fresh order each pass, with hyperfine's round after the script's."""

import random
import unittest

from . import running, testing
from .configs import configurations


class FakeRunner:
    def __init__(self):
        self.calls = []

    def run(self, config, timed, round_number=None, check=False):
        self.calls.append(("run", config, timed, round_number, check))
        return {"config": config, "timer": timed, "round": round_number}


class FakeHyperfine:
    def __init__(self, runner, said):
        self.runner = runner
        self.said = said

    def round(self, configs, round_number, rng):
        self.runner.calls.append(("hyperfine", round_number))
        return [{"round": round_number, "source": "hyperfine"}], self.said(round_number)


class Measure(unittest.TestCase):
    def test_interleaved_rounds(self):
        configs = configurations(2, ["libgomp", "libomp"])
        variants = running.variants(configs)
        self.assertEqual(len(variants), 2 * len(configs) - 1)  # no timed serial build
        runner = FakeRunner()
        hyperfine = FakeHyperfine(runner, lambda r: ["outliers"] if r % 2 else [])
        samples, warnings = running.measure(runner, configs, rounds=5, runs=3, warmup=2,
                                            rng=random.Random(1), hyperfine=hyperfine)
        warmup = runner.calls[:2 * len(variants)]
        self.assertTrue(all(call[3] is None for call in warmup))
        timed_calls = runner.calls[len(warmup):]
        for r in range(5):
            with self.subTest(round=r):
                in_round = [c for c in timed_calls if c[0] == "run" and c[3] == r]
                self.assertEqual(len(in_round), 3 * len(variants))
                passes = [in_round[i * len(variants):(i + 1) * len(variants)] for i in range(3)]
                for one_pass in passes:
                    self.assertCountEqual([(c[1], c[2]) for c in one_pass], variants)
                self.assertNotEqual([c[1:3] for c in passes[0]], [c[1:3] for c in passes[1]])
                # hyperfine's round comes right after the script's runs of that round
                last = max(i for i, c in enumerate(timed_calls) if c[0] == "run" and c[3] == r)
                self.assertEqual(timed_calls[last + 1], ("hyperfine", r))
        self.assertEqual(len(samples), 5 * 3 * len(variants) + 5)
        self.assertEqual(warnings, ["outliers (in 2 of 5 rounds)"])


if __name__ == "__main__":
    testing.main()
