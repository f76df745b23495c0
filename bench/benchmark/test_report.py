# SPDX-License-Identifier: MIT
"""The tables and the sentences made from them, for a 1-CPU and a 32-CPU machine, on runs in
which every configuration, phase and setting has numbers of its own."""

import statistics
import unittest

from . import report, test_fakes

META = {"machine": "test machine", "compiler": "c++ 12", "rounds": 5, "runs per round": 6,
        "seed": 1}


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
    def test_one_and_thirty_two_cpus(self):
        for cpus, sizes in ((1, ["1", "2", "4"]), (32, ["1", "2", "32", "128"])):
            with self.subTest(cpus=cpus):
                _, results = test_fakes.fake_results(cpus, test_fakes.distinct())
                lines = report.report(results, META, cpus, ["libgomp", "libomp"], [], None)
                text = "\n".join(lines)
                for table in (report.whole_process_table(results, results.configs),
                              report.phase_table(results, results.configs)):
                    self.assertEqual(len({len(cells(line)) for line in table}), 1,
                                     "every row has the header's columns")
                rows = [cells(line) for line in lines if line.startswith("| lib")]
                # Each table: every setting at the table's sizes, none of the sweep's.
                self.assertEqual(len(rows), 2 * 2 * len(sizes) * 4)
                self.assertEqual(sorted({r[1] for r in rows}, key=int), sizes)
                self.assertNotIn("Noise warning", text)
                self.assertIn(f"beyond the {cpus} CPUs", text)

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
        _, results = test_fakes.fake_results(2, stall(), runtimes=("libgomp",))
        phases = {s: results.phases[results.find("libgomp", 2, s).name]
                  for s in ("default", "passive", "bind close")}
        phases["one"] = results.phases[results.find("libgomp", 1, "default").name]
        body = phases["one"]["body"]
        added = {s: phases[s]["team_start"] - phases["one"]["team_start"] for s in
                 ("default", "passive", "bind close")}
        default, passive = (results.whole[results.find("libgomp", 2, s).name].mean[0]
                            for s in ("default", "passive"))
        n = {s: results.configs.index(results.find("libgomp", 2, s)) for s in added}
        with_tick = report.two_threads(results, "libgomp", (250, "/proc/config.gz"))
        expected = [f"body took {report.duration(body)} on one thread",
                    f"at most about {report.duration(body / 2)}",
                    f"added {report.duration(added['passive'])} to the team start with passive",
                    f"{report.duration(added['bind close'])} with bind close",
                    f"and {report.duration(added['default'])} under the default setting (this "
                    f"kernel's scheduler tick: 4.00 ms, CONFIG_HZ=250 in /proc/config.gz)",
                    # Runs without the timer: 0.9 of the time on a CPU, n + 1 voluntary switches.
                    f"used {report.ms(0.9 * default)} ms of CPU in {report.ms(default)} ms and "
                    f"made {n['default'] + 1:.1f} voluntary",
                    f"against {report.ms(0.9 * passive)} ms in {report.ms(passive)} ms and "
                    f"{n['passive'] + 1:.1f} with passive waiting"]
        for part in expected:
            self.assertIn(part, with_tick)
        without = report.two_threads(results, "libgomp", None)
        self.assertNotIn("tick", without)
        self.assertIn(f"{report.duration(added['default'])} under the default setting. ",
                      without)
        headline = report.headline(results, 2, None)
        self.assertEqual([cells(line)[:3] for line in headline[2:7]],
                         [["-", "-", "serial build"], ["libgomp", "1", "default"],
                          ["libgomp", "2", "default"], ["libgomp", "2", "passive"],
                          ["libgomp", "2", "bind close"]])
        self.assertIn(without, headline)
        # The fitted cost of a thread, in µs, each beside its own runtime and setting.
        fits = [f"libgomp {s} " + report.interval(results.growth["libgomp", s], report.us)
                for s in ("default", "passive")]
        self.assertEqual(len(set(fits)), 2, fits)
        self.assertIn(f"in µs [95% CI]: {fits[0]}; {fits[1]} (", report.growth(results, 2))


if __name__ == "__main__":
    unittest.main()
