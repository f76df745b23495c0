# SPDX-License-Identifier: MIT
"""Tables, findings, CSV and noise warnings, for a 1-CPU and a 32-CPU machine."""

import csv
import io
import unittest

from . import export_csv, noise, tables, testing
from .configs import SERIAL

META = {"machine": "test machine", "compiler": "c++ 12", "rounds": 5, "runs per round": 6,
        "seed": 1, "hyperfine": "hyperfine not used"}


def cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def two_clusters(config, r, i):
    """libgomp at two threads under the default setting: 30% of runs at 4 ms, 70% at 8 ms;
    everything else about 1.6 ms, the serial build 1.5 ms."""
    if (config.runtime, config.threads, config.setting) == ("libgomp", "2", "default"):
        return 4e-3 if (r * 6 + i) % 10 < 3 else 8e-3
    return testing.steady()(config, r, i)


class Tables(unittest.TestCase):
    def test_one_and_thirty_two_cpus(self):
        for cpus, sizes in ((1, ["1", "2", "4"]), (32, ["1", "2", "32", "128"])):
            with self.subTest(cpus=cpus):
                configs, _, results = testing.fake_results(cpus, testing.steady())
                whole = tables.whole_process_table(results)
                self.assertEqual(len(whole), 2 + 1 + 2 * len(sizes) * 4)
                widths = {len(cells(line)) for line in whole}
                self.assertEqual(len(widths), 1, "every row has the header's columns")
                self.assertEqual(cells(whole[2])[:3], ["-", "-", "serial build"])
                rows = [cells(line)[:3] for line in whole[3:]]
                self.assertEqual(sorted({row[1] for row in rows}, key=int), sizes)
                self.assertEqual({row[0] for row in rows}, {"libgomp", "libomp"})
                phase = tables.phase_table(results)
                self.assertEqual(len(phase), 2 + 2 * len(sizes) * 4)
                self.assertEqual(len({len(cells(line)) for line in phase}), 1)
                text = "\n".join(tables.report(results, META, cpus, ["libgomp", "libomp"], []))
                for size in sizes:
                    self.assertIn(f"Fastest at T = {size}:", text)
                self.assertNotIn("Noise warning", text)
                self.assertEqual(len(configs), 1 + 2 * len(sizes) * 4)

    def test_phases_add_up_and_the_timer_cost_is_shown(self):
        # Two clusters, where the phases' medians would not add up to anything.
        _, _, results = testing.fake_results(2, two_clusters, runtimes=("libgomp",),
                                             timer_cost=1.25)
        row = next(cells(line) for line in tables.phase_table(results)
                   if cells(line)[:3] == ["libgomp", "2", "default"])
        phases = [float(c) for c in row[3:8]]
        self.assertAlmostEqual(sum(phases), float(row[8]), delta=len(phases))
        self.assertAlmostEqual(float(row[8]) / float(row[9]), 1.25, places=2)
        self.assertTrue(row[10].startswith("+25% [+25%, +25%]"), row[10])

    def test_two_clusters_and_the_mean_ratio(self):
        _, _, results = testing.fake_results(2, two_clusters)
        line = next(line for line in tables.whole_process_table(results)
                    if cells(line)[:3] == ["libgomp", "2", "default"])
        row = cells(line)
        self.assertEqual(row[6], "30% @ 4.00, 70% @ 8.00")
        mean = 0.3 * 4e-3 + 0.7 * 8e-3
        serial = results.whole[SERIAL.name].mean
        self.assertTrue(row[5].startswith(f"{mean / serial:.2f} ["), row[5])
        self.assertEqual(row[4].split()[0], f"{mean * 1e3:.2f}")

    def test_binding_verdicts(self):
        def stall(bound_slow):
            def wall(config, r, i):
                if config.runtime == "libgomp" and config.threads == "2":
                    slow = {"default": True, "bind close": bound_slow}.get(config.setting)
                    if slow is not None:
                        return 8e-3 if slow else 1.7e-3
                return testing.steady()(config, r, i)
            return wall

        cases = [(stall(False), "binding the team removed the stall"),
                 (stall(True), "binding the team did not remove the stall"),
                 (testing.steady(), "there was no stall for binding to remove")]
        for wall, verdict in cases:
            with self.subTest(verdict):
                _, _, results = testing.fake_results(2, wall, runtimes=("libgomp",))
                self.assertTrue(tables.binding_test(results, "libgomp").endswith(verdict + "."))


class Csv(unittest.TestCase):
    def test_every_run_and_the_summary_after_the_header_block(self):
        _, samples, results = testing.fake_results(2, testing.steady(), runtimes=("libgomp",))
        warning = "the machine was busy"
        for text, rows in ((export_csv.runs_csv(META, [warning], samples), len(samples)),
                           (export_csv.summary_csv(META, [warning], results),
                            len(results.configs))):
            head = [line for line in text.splitlines() if line.startswith("# ")]
            self.assertIn(f"# warning: {warning}", head)
            self.assertIn("# machine: test machine", head)
            body = io.StringIO("\n".join(l for l in text.splitlines() if not l.startswith("# ")))
            parsed = list(csv.DictReader(body))
            self.assertEqual(len(parsed), rows)
        runs = list(csv.DictReader(io.StringIO("\n".join(
            l for l in export_csv.runs_csv(META, [], samples).splitlines()
            if not l.startswith("#")))))
        timed = [r for r in runs if r["timer"] == "yes"]
        self.assertTrue(timed and all(r["team_start_us"] for r in timed))
        first = samples[0]
        self.assertAlmostEqual(float(runs[0]["wall_us"]), first["wall"] * 1e6, places=1)
        self.assertEqual(int(runs[0]["involuntary_cs"]), first["nivcsw"])


class Noise(unittest.TestCase):
    def test_hyperfine_warnings_are_kept_with_their_command(self):
        stdout = ("Benchmark 1: serial build\n  Time (mean ± σ): 1.5 ms\n \n"
                  "  Warning: Statistical outliers were detected. Consider re-running this "
                  "benchmark on a quiet system.\n \nBenchmark 2: libgomp T=2 default\n"
                  "  Time (mean ± σ): 5 ms\n")
        self.assertEqual(noise.hyperfine_warnings(stdout),
                         ["hyperfine, serial build: Statistical outliers were detected"])
        self.assertEqual(noise.hyperfine_warnings("Benchmark 1: x\n"), [])

    def test_the_serial_build_spread(self):
        quiet = [[1.5e-3, 1.6e-3, 1.55e-3]] * 5
        self.assertEqual(noise.serial_warnings(quiet), [])
        busy = [[1.5e-3] * 9 + [4e-3]] * 5
        self.assertIn("10% of the serial build's runs", noise.serial_warnings(busy)[0])
        drifting = [[1.5e-3] * 5, [1.5e-3] * 5, [2e-3] * 5]
        self.assertIn("33% slower", noise.serial_warnings(drifting)[0])


if __name__ == "__main__":
    testing.main()
