# SPDX-License-Identifier: MIT
"""What reaches a run from the caller's environment, what a run gives, the order of the runs
(every configuration, with and without the timer, in every round, in a fresh order each pass,
the largest teams fewer times and spread over the round), and whose CPU time a run's is."""

import os
import random
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path
from types import SimpleNamespace

from . import BenchError, running
from .configs import SERIAL, configurations, runs_per_round


class Environment(unittest.TestCase):
    # Every kind of line of tests/runtime-settings.txt, and names that only look like them.
    caller = {"PATH": "/usr/bin:/bin", "OMP_NUM_THREADS": "3", "OMP_PROC_BIND": "spread",
              "GOMP_SPINCOUNT": "0", "KMP_VERSION": "1", "LD_PRELOAD": "libspy.so",
              "LIBOMP_USE_HIDDEN_HELPER_TASK": "0", "ACC_PROFLIB": "x.so",
              "ARCHER_OPTIONS": "verbose=1", "SPY_LOG": "1", "LD_LIBRARY_PATH": "/opt/lib"}
    kept = {"PATH": "/usr/bin:/bin", "OMPI_COMM_WORLD_SIZE": "1", "LD_PRELOAD_X": "1"}

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
        self.assertEqual(running.environment(SERIAL, paths, self.kept, False), self.kept)


class Run(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        # It sleeps 100 times, prints the program's line and, given the descriptor, writes
        # RECORD or a record of one thread, whose body is the whole region.
        self.program = Path(self.tmp.name, "program")
        self.program.write_text(
            "#!/usr/bin/python3 -I\nimport os, time\nstart = time.monotonic_ns()\n"
            "for _ in range(100): time.sleep(0.0002)\nprint('sum = 499500.000000')\n"
            "if 'REGION_TIMER_FD' in os.environ:\n    t = time.monotonic_ns() - start\n"
            "    record = f'{start} {start + t} 1 1 0 {t}'\n"
            "    os.write(3, os.environ.get('RECORD', record).encode())\n")
        self.program.chmod(0o755)
        # Preloading libc changes nothing, as the timer's name in LD_PRELOAD must.
        self.paths = SimpleNamespace(serial=self.program, program=self.program,
                                     timer=Path("/nowhere/libc.so.6"), alt_runtime="")

    def run_program(self, timed, environ=None):
        config = configurations(2, ["libgomp"])[1]
        with running.Runner(self.paths, environ or os.environ) as runner:
            return [runner.run(config, timed, check=True) for _ in range(2)]

    def test_what_a_run_gives(self):
        """A process that sleeps 100 times gives up its CPU at least 100 times: voluntary
        switches, on any machine. Only that is asserted, as preemptions (involuntary) grow with
        the machine's load; but a process this light (no site, a loop of sleeps) is preempted
        far fewer than 100 times even on a busy machine, so the two counts swapped fail."""
        sample = self.run_program(False)[0]
        self.assertGreaterEqual(sample["nvcsw"], 100, sample)
        self.assertIsNone(sample["phases"])
        # Twice each: a second run must find only its own output and record.
        for sample in self.run_program(True):
            self.assertEqual(sample["phases"]["threads"], 1)
            self.assertGreater(sample["phases"]["body"], 100 * 0.0002)
        with self.assertRaisesRegex(BenchError, "^libgomp T=1 default with region_timer: "
                                                "region_timer record is cut short$"):
            self.run_program(True, {**os.environ, "RECORD": "1 2"})


class CpuTime(unittest.TestCase):
    def test_shares_of_all_the_cpu_time(self):
        # 1000 ticks in all, 600 busy of which 500 the benchmark's, 30 stolen.
        self.assertEqual(running.foreign_shares((5, 5, 5, 5), (1005, 605, 35, 505)),
                         (0.03, 0.1))
        self.assertEqual(running.foreign_shares((0, 0, 0, 0), (1000, 400, 0, 410))[1], 0)

    def test_a_reaped_child_is_the_benchmark_own(self):
        before = running.cpu_clock()
        subprocess.run([sys.executable, "-c", "import time\nend = time.process_time() + 0.3\n"
                        "while time.process_time() < end: pass"], check=True)
        total, busy, _, own = (b - a for a, b in zip(before, running.cpu_clock()))
        ticks = os.sysconf("SC_CLK_TCK")
        self.assertGreaterEqual(own, 0.3 * ticks)
        self.assertGreaterEqual(total, busy)
        self.assertGreaterEqual(busy, 0.2 * ticks)


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
        said = []
        samples, _ = running.measure(runner, configs, rounds=5, runs=runs, warmup=2,
                                     rng=random.Random(1), cpus=cpus, progress=said.append)
        self.assertEqual(said, [f"run_bench: round {r} of 5" for r in range(1, 6)])
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
