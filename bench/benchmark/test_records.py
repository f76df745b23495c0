# SPDX-License-Identifier: MIT
"""region_timer's records: the phases they give, and every way a record can be wrong."""

import unittest

from . import BenchError, records, test_fakes


class Parse(unittest.TestCase):
    spawned, reaped = 1_000_000, 9_000_000

    def test_phases_of_a_record(self):
        # Region from 3 ms to 5 ms of the run; the last thread enters 1.5 ms and leaves 1.6 ms
        # into the region.
        line = "4000000 6000000 3 3 100000 150000 1500000 1600000 900000 950000"
        phases = records.parse(line + "\n", self.spawned, self.reaped)
        self.assertAlmostEqual(phases["startup"], 3e-3)
        self.assertAlmostEqual(phases["team_start"], 1.5e-3)
        self.assertAlmostEqual(phases["body"], 0.1e-3)
        self.assertAlmostEqual(phases["region_end"], 0.4e-3)
        self.assertAlmostEqual(phases["after"], 3e-3)
        total = sum(phases[key] for key, _ in records.PHASES)
        self.assertAlmostEqual(total, (self.reaped - self.spawned) / 1e9)
        self.assertEqual(phases["threads"], 3)

    def test_more_threads_than_the_timer_has_slots(self):
        line = test_fakes.record_line(5000, self.spawned, 5e-3, timed=4096)
        with self.assertRaisesRegex(BenchError, "^region_timer timed 4096 of 5000 threads$"):
            records.parse(line, self.spawned, self.spawned + 5_000_000)

    def test_wrong_records_are_refused(self):
        wrong = {
            "no record": "",
            "two regions": "4000000 6000000 1 1 0 10\n4000000 6000000 1 1 0 10\n",
            "not numbers": "4000000 6000000 1 1 0 ten",
            "cut short": "4000000 6000000",
            "a span missing": "4000000 6000000 2 2 0 10",
            "a thread that never ran the body": "4000000 6000000 2 2 0 10 -1 -1",
            "leaves before it enters": "4000000 6000000 1 1 500 10",
            "leaves after the region": "4000000 6000000 1 1 0 2000001",
            "region before the spawn": "400000 600000 1 1 0 10",
            "region after the reaping": "8000000 9500000 1 1 0 10",
            "no threads": "4000000 6000000 0 0",
        }
        for what, line in wrong.items():
            with self.subTest(what), self.assertRaises(BenchError):
                records.parse(line, self.spawned, self.reaped)


if __name__ == "__main__":
    unittest.main()
