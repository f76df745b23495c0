# SPDX-License-Identifier: MIT
"""The tables and the sentences made from them, for a 1-CPU and a 32-CPU machine."""

import unittest

from . import report, test_fakes

META = {"machine": "test machine", "compiler": "c++ 12", "rounds": 5, "runs per round": 6,
        "seed": 1}


def cells(line):
    return [c.strip() for c in line.strip().strip("|").split("|")]


def row(lines, runtime, threads, setting):
    return next(cells(line) for line in lines if cells(line)[:3] == [runtime, threads, setting])


def stall(config, r, i):
    """Two threads under the default setting on libgomp take 8 ms, 30% of the runs 2.9 ms;
    everything else about 1.6 ms, the serial build 1.5 ms."""
    if (config.runtime, config.threads, config.setting) == ("libgomp", 2, "default"):
        return 2.9e-3 if (r * 6 + i) % 10 < 3 else 8e-3
    return test_fakes.steady()(config, r, i)


class Tables(unittest.TestCase):
    def test_one_and_thirty_two_cpus(self):
        for cpus, sizes in ((1, ["1", "2", "4"]), (32, ["1", "2", "32", "128"])):
            with self.subTest(cpus=cpus):
                _, results = test_fakes.fake_results(cpus, test_fakes.steady())
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
        # Runs without the timer use 0.9 of their time on a CPU and make 1 voluntary and 2
        # involuntary context switches; runs with it take 1.25 times as long.
        _, results = test_fakes.fake_results(2, stall, runtimes=("libgomp",), timer_cost=1.25)
        whole = row(report.whole_process_table(results, results.configs), "libgomp", "2",
                    "default")
        mean = 0.3 * 2.9e-3 + 0.7 * 8e-3
        self.assertEqual(whole[4].split()[0], f"{mean * 1e3:.2f}")
        serial = results.whole["serial build"].mean[0]
        self.assertTrue(whole[5].startswith(f"{mean / serial:.2f} ["), whole[5])
        self.assertEqual(whole[6:], ["70%", f"{0.9 * mean * 1e3:.2f}", "1.0", "2.0"])
        phases = row(report.phase_table(results, results.configs), "libgomp", "2", "default")
        self.assertAlmostEqual(sum(float(c) for c in phases[3:8]), float(phases[8]), delta=5)
        self.assertAlmostEqual(float(phases[8]) / float(phases[9]), 1.25, places=2)
        self.assertTrue(phases[10].startswith("+25% [+25%, +25%]"), phases[10])


class Sentences(unittest.TestCase):
    def test_two_threads(self):
        _, results = test_fakes.fake_results(2, stall, runtimes=("libgomp",))
        phases = {s: results.phases[results.find("libgomp", 2, s).name]
                  for s in ("default", "passive", "bind close")}
        phases["one"] = results.phases[results.find("libgomp", 1, "default").name]
        body = phases["one"]["body"]
        added = {s: phases[s]["team_start"] - phases["one"]["team_start"] for s in
                 ("default", "passive", "bind close")}
        passive = results.whole[results.find("libgomp", 2, "passive").name].mean[0]
        with_tick = report.two_threads(results, "libgomp", (250, "/proc/config.gz"))
        expected = [f"body took {report.duration(body)} on one thread",
                    f"at most about {report.duration(body / 2)}",
                    f"added {report.duration(added['passive'])} to the team start with passive",
                    f"{report.duration(added['bind close'])} with bind close",
                    f"and {report.duration(added['default'])} under the default setting (this "
                    f"kernel's scheduler tick: 4.00 ms, CONFIG_HZ=250 in /proc/config.gz)",
                    # Runs without the timer: 0.9 of the time on a CPU, 1 voluntary switch.
                    "used 5.82 ms of CPU in 6.47 ms and made 1.0 voluntary",
                    f"against {report.ms(0.9 * passive)} ms in {report.ms(passive)} ms and 1.0 "
                    f"with passive waiting"]
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


if __name__ == "__main__":
    unittest.main()
