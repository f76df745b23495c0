# SPDX-License-Identifier: MIT
"""What reaches a run from the caller's environment, and the order of the runs: every
configuration, with and without the timer, in every round, in a fresh order each pass, the
largest teams fewer times and spread over the round."""

import os
import random
import tempfile
import unittest
from pathlib import Path
from types import SimpleNamespace

from . import running
from .configs import SERIAL, configurations, runs_per_round


class Environment(unittest.TestCase):
    caller = {"PATH": "/usr/bin:/bin", "OMP_NUM_THREADS": "3", "OMP_PROC_BIND": "spread",
              "GOMP_SPINCOUNT": "0", "KMP_VERSION": "1", "LD_PRELOAD": "libspy.so",
              "LIBOMP_USE_HIDDEN_HELPER_TASK": "0", "ACC_PROFLIB": "x.so",
              "ARCHER_OPTIONS": "verbose=1",
              "LD_LIBRARY_PATH": "/opt/lib"}

    def test_only_what_the_configuration_sets_reaches_a_run(self):
        paths = running.Paths(Path("/src"))
        configs = {(c.runtime, c.threads, c.setting): c
                   for c in configurations(2, ["libgomp", "libomp"])}
        passive, early = configs["libomp", 2, "passive"], configs["libomp", 1, "initialised early"]
        timer_dir, alt = str(paths.timer.parent), str(paths.alt_runtime)
        cases = [(SERIAL, False, {"PATH": "/usr/bin:/bin", "LD_LIBRARY_PATH": "/opt/lib"}),
                 (passive, True, {"PATH": "/usr/bin:/bin", "OMP_NUM_THREADS": "2",
                                  "OMP_WAIT_POLICY": "passive", "LD_PRELOAD": paths.timer.name,
                                  "REGION_TIMER_FD": str(running.RECORD_FD),
                                  "LD_LIBRARY_PATH": f"{timer_dir}:{alt}:/opt/lib"}),
                 (early, False, {"PATH": "/usr/bin:/bin", "OMP_NUM_THREADS": "1",
                                 "LD_PRELOAD": paths.early_init.name,
                                 "LD_LIBRARY_PATH": f"{timer_dir}:{alt}:/opt/lib"}),
                 (early, True, {"PATH": "/usr/bin:/bin", "OMP_NUM_THREADS": "1",
                                "LD_PRELOAD": f"{paths.early_init.name} {paths.timer.name}",
                                "REGION_TIMER_FD": str(running.RECORD_FD),
                                "LD_LIBRARY_PATH": f"{timer_dir}:{alt}:/opt/lib"})]
        for config, timed, expected in cases:
            with self.subTest(config.name, timed=timed):
                self.assertEqual(running.environment(config, paths, self.caller, timed),
                                 expected)
        self.assertNotIn("LD_LIBRARY_PATH", running.environment(SERIAL, paths, {}, False))


class Run(unittest.TestCase):
    def test_context_switches_are_told_apart(self):
        """A process that sleeps 100 times gives up its CPU at least 100 times: voluntary
        switches, on any machine. Only that is asserted, as preemptions (involuntary) grow with
        the machine's load; but a process this light (no site, a loop of sleeps) is preempted
        far fewer than 100 times even on a busy machine, so the two counts swapped fail."""
        with tempfile.TemporaryDirectory() as directory:
            sleeper = Path(directory, "sleeper")
            sleeper.write_text("#!/usr/bin/python3 -IS\nimport time\nfor _ in range(100): "
                               "time.sleep(0.0002)\n")
            sleeper.chmod(0o755)
            paths = SimpleNamespace(serial=sleeper)
            with running.Runner(paths, os.environ) as runner:
                sample = runner.run(SERIAL, False)
        self.assertGreaterEqual(sample["nvcsw"], 100, sample)


class FakeRunner:
    def __init__(self):
        self.calls = []

    def run(self, config, timed, round_number=None, check=False):
        self.calls.append((config, timed, round_number, check))
        return {"config": config, "timer": timed, "round": round_number}


class Measure(unittest.TestCase):
    def test_interleaved_rounds(self):
        cpus, runs = 2, 10
        configs = configurations(cpus, ["libgomp", "libomp"])
        variants = running.variants(configs)
        self.assertEqual(len(variants), 2 * len(configs) - 1)  # no timed serial build
        runner = FakeRunner()
        samples = running.measure(runner, configs, rounds=5, runs=runs, warmup=2,
                                  rng=random.Random(1), cpus=cpus)
        first = len(variants) * 3
        self.assertEqual([c[:2] for c in runner.calls[:len(variants)]], variants)
        self.assertTrue(all(c[3] for c in runner.calls[:len(variants)]), "checked first")
        self.assertTrue(all(c[2] is None and not c[3] for c in runner.calls[len(variants):first]))
        wanted = {v: runs_per_round(v[0].threads, runs, cpus) for v in variants}
        self.assertEqual(wanted[SERIAL, False], runs)
        self.assertEqual(min(wanted.values()), 1)
        twice = next(v for v, n in wanted.items() if n == 2)
        rounds = [[c[:2] for c in runner.calls[first:] if c[2] == r] for r in range(5)]
        for r, in_round in enumerate(rounds):
            with self.subTest(round=r):
                self.assertEqual({v: in_round.count(v) for v in variants}, wanted)
                # A variant due twice runs once in each half of the round.
                where = [i for i, c in enumerate(in_round) if c == twice]
                self.assertLess(where[0], len(in_round) // 2, where)
                self.assertGreater(where[1], len(in_round) // 2, where)
        # Each pass in a fresh order: no two rounds run their variants in the same order.
        self.assertEqual(len({tuple(r) for r in rounds}), 5)
        self.assertEqual(len(samples), 5 * sum(wanted.values()))


if __name__ == "__main__":
    unittest.main()
