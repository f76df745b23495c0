# SPDX-License-Identifier: MIT
"""The tables and the sentences made from them, for a 1-CPU and a 32-CPU machine, on runs in
which every configuration, phase and setting has numbers of its own."""

import statistics
import unittest

from . import report, stats, test_fakes

META = {"machine": "test machine", "compiler": "c++ 12", "rounds": 5, "runs per round": 6,
        "seed": 1, "minutes": 3.5, "steal": 0.0012, "other processes": 0.034}


def cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def row(lines, runtime, threads, setting):
    return next(cells(line) for line in lines if cells(line)[:3] == [runtime, threads, setting])


def stall():
    """Two threads under the default setting on libgomp take 8 ms, 30% of the runs 2 ms;
    every other configuration its own time (test_fakes.distinct)."""
    others = test_fakes.distinct()

    def wall(config, r, i):
        if (config.runtime, config.threads, config.setting) == ("libgomp", 2, "default"):
            return 2e-3 if (r * 6 + i) % 10 < 3 else 8e-3
        return others(config, r, i)
    return wall


class Tables(unittest.TestCase):
    def test_one_and_thirty_two_cpus_and_libgomp_alone(self):
        both = ("libgomp", "libomp")
        for cpus, sizes, runtimes in ((1, ["1", "2", "4"], both),
                                      (32, ["1", "2", "32", "128"], both),
                                      (2, ["1", "2", "8"], ("libgomp",))):
            with self.subTest(cpus=cpus, runtimes=runtimes):
                _, results = test_fakes.fake_results(cpus, test_fakes.distinct(), runtimes)
                warnings = ["the machine was busy"] * (cpus == 2)
                lines = report.report(results, META, cpus, list(runtimes), warnings, None)
                text = "\n".join(lines)
                for table in (report.whole_process_table(results, results.configs),
                              report.phase_table(results, results.configs)):
                    self.assertEqual(len({len(cells(line)) for line in table}), 1,
                                     "every row has the header's columns")
                rows = [cells(line) for line in lines if line.startswith("| lib")]
                # Each table: every setting at the table's sizes, none of the sweep's, and
                # libomp's two conditions of a team of one.
                self.assertEqual(len(rows), 2 * len(runtimes) * len(sizes) * 4 +
                                 2 * 2 * ("libomp" in runtimes))
                self.assertEqual(sorted({r[1] for r in rows}, key=int), sizes)
                self.assertEqual("\n**Warning:** the machine was busy.\n" in text, cpus == 2)
                self.assertIn("The run took 3.5 min, build included.\nOf the machine's CPU time "
                              "during the runs (/proc/stat), the host took 0.1% (steal) and other "
                              f"processes 3.4%; --readme refuses either above "
                              f"{stats.FOREIGN_LIMIT:.0%}.", text)
                self.assertIn(f"beyond the {cpus} CPUs", text)
                self.assertEqual("KMP_AFFINITY" in text, "libomp" in runtimes)

    def test_columns_hold_their_own_numbers(self):
        samples, results = test_fakes.fake_results(2, stall(), runtimes=("libgomp",),
                                                   timer_cost=1.25)
        config = results.find("libgomp", 2, "default")
        n = results.configs.index(config)
        walls = [s["wall"] for s in samples if s["config"] == config and not s["timer"]]
        serial = [s["wall"] for s in samples if s["config"].serial]
        mean = 0.3 * 2e-3 + 0.7 * 8e-3
        whole = row(report.whole_process_table(results, results.configs), "libgomp", "2",
                    "default")
        self.assertEqual([whole[3], whole[4].split()[0]],
                         [f"{statistics.median(walls) * 1e3:.2f}", f"{mean * 1e3:.2f}"])
        self.assertTrue(whole[5].startswith(f"{mean / statistics.fmean(serial):.2f} ["), whole)
        # Runs without the timer use 0.9 of their time on a CPU and make n + 1 voluntary and
        # n + 1001 involuntary context switches.
        self.assertEqual(whole[6:], ["70%", f"{0.9 * mean * 1e3:.2f}", f"{n + 1:.1f}",
                                     f"{n + 1001:.1f}"])
        # With the timer a run takes 1.25 times as long: start-up is 60% of it, the region 20%
        # (two threads enter a half and a quarter into it and leave a tenth of it later), and
        # after 20%.
        timed = 1.25 * mean
        phases = row(report.phase_table(results, results.configs), "libgomp", "2", "default")
        expected = [0.6, 0.2 * 2 / 4, 0.2 / 10, 0.2 - 0.2 * (2 / 4 + 1 / 10), 0.2, 1, 1 / 1.25]
        for cell, share in zip(phases[3:10], expected):
            self.assertAlmostEqual(float(cell), share * timed * 1e6, delta=1, msg=phases)
        self.assertTrue(phases[10].startswith("+25% [+25%, +25%]"), phases[10])


class Sentences(unittest.TestCase):
    def test_two_threads_and_the_growth(self):
        # libgomp stalls under the default setting (stall()), libomp does not.
        _, results = test_fakes.fake_results(2, stall())
        start = {(t, s): results.phases[results.find("libgomp", t, s).name]["team_start"]
                 for t in (1, 2) for s in ("default", "passive", "bind close")}
        body = results.phases[results.find("libgomp", 1, "default").name]["body"]
        # Each against a team of one with the same setting.
        added = {s: start[2, s] - start[1, s] for _, s in start}
        default, passive = (results.whole[results.find("libgomp", 2, s).name].mean[0]
                            for s in ("default", "passive"))
        tick = (250, "/proc/config.gz")
        # The fake runs make n + 1 voluntary switches, the n-th configuration: not clearly
        # fewer under the default setting than with passive waiting, so no explanation.
        n = {s: results.configs.index(results.find("libgomp", 2, s)) for s in added}
        self.assertTrue(report.two_threads(results, "libgomp", tick).endswith(
            f"{n['passive'] + 1:.1f} with passive waiting (the *CPU ms* and *voluntary cs* "
            f"columns of the whole-process table in bench/README.md)."))
        for setting, switches in (("default", 1.2), ("passive", 3.9)):
            results.usage[results.find("libgomp", 2, setting).name]["nvcsw"] = switches
        stalled = report.two_threads(results, "libgomp", tick)
        expected = [f"one thread ran the loop's body in {report.duration(body)} (",
                    f"at most about {report.duration(body / 2)}",
                    f"Against a team of one with the same setting, a team of two took "
                    f"{report.duration(added['passive'])} longer to start with passive waiting",
                    f"{report.duration(added['bind close'])} with bind close",
                    f"and {report.duration(added['default'])} under the default setting (this "
                    f"kernel's scheduler tick: 4.00 ms, CONFIG_HZ=250 in /proc/config.gz)",
                    # Runs without the timer use 0.9 of their time on a CPU.
                    f"a team of two under the default setting used {report.ms(0.9 * default)} "
                    f"ms of CPU in {report.ms(default)} ms of wall time and made 1.2 voluntary",
                    f"against {report.ms(0.9 * passive)} ms in {report.ms(passive)} ms and "
                    f"3.9 with passive waiting", "a thread that spins"]
        for part in expected:
            self.assertIn(part, stalled)
        without = report.two_threads(results, "libgomp", None)
        self.assertNotIn("tick", without)
        self.assertIn(f"{report.duration(added['default'])} under the default setting. ",
                      without)
        quick = report.two_threads(results, "libomp", tick)
        self.assertTrue(quick.endswith(" under the default setting: not clearly more than with "
                                       "passive waiting, so this run shows no stall."), quick)
        self.assertNotIn("tick", quick)
        block, headline = report.documents(["line 1", "line 2"], "cmd --x", results, None)
        self.assertEqual(block, "Made by `cmd --x`:\n\nline 1\nline 2\n\n"
                                "![Mean phases of a run](figures/phases.svg)\n"
                                "![How a run's cost grows with the team](figures/growth.svg)")
        self.assertEqual(headline.split("\n")[2], without)
        # The fitted cost of a thread, in µs, each beside its own runtime and setting.
        fits = [f"{r} {s} " + report.interval(results.growth[r, s], report.us)
                for r in ("libgomp", "libomp") for s in ("default", "passive")]
        self.assertEqual(len(set(fits)), 4, fits)
        self.assertIn(f"in µs [95% CI]: {'; '.join(fits)} (", "\n".join(
            report.report(results, META, 2, ["libgomp", "libomp"], [], None)))

    def test_what_libomp_spends_starting_a_team_of_one(self):
        _, results = test_fakes.fake_results(2, test_fakes.distinct())

        def given(runtime, setting, start, startup=1.24e-3, whole=2.52e-3, switches=2.6):
            name = results.find(runtime, 1, setting).name
            results.phases[name].update(team_start=start, startup=startup)
            results.whole[name].mean = (whole, whole, whole)
            results.usage[name]["nvcsw"] = switches

        given("libgomp", "default", 3e-6)
        given("libomp", "default", 1.15e-3)
        given("libomp", "initialised early", 25e-6, startup=2.35e-3, whole=2.55e-3)
        given("libomp", "affinity disabled", 0.8e-3, switches=1.0)
        text = report.initialisation(results)
        for part in ("On libomp a team of one took 1.15 ms to start, against 3 µs on libgomp.",
                     "it took 25 µs, while start-up took 1.11 ms longer than without it and the "
                     "whole run 2.55 ms against 2.52 ms: the time goes to libomp initialising",
                     "With KMP_AFFINITY=disabled a team of one took 800 µs to start, and the "
                     "runs made 1.0 voluntary context switches against 2.6 with it on: 350 µs "
                     "of the team start is affinity"):
            self.assertIn(part, text)
        self.assertEqual(report.documents([], "cmd", results, None)[1].split("\n")[3:5],
                         ["", text])
        # Where the numbers do not show it, no explanation.
        given("libomp", "initialised early", 1.0e-3, whole=2.55e-3)
        given("libomp", "affinity disabled", 0.8e-3, switches=2.5)
        text = report.initialisation(results)
        self.assertIn("it took 1.00 ms, while", text)
        self.assertIn(" against 2.52 ms. With KMP_AFFINITY", text)
        self.assertTrue(text.endswith(" against 2.6 with it on."), text)
        results.configs = [c for c in results.configs if c.runtime != "libomp"]
        self.assertIsNone(report.initialisation(results))


if __name__ == "__main__":
    unittest.main()
