# SPDX-License-Identifier: MIT
"""check_docs.py's rules: one right document passes them all; wrong ones are each refused."""

import contextlib
import io
import re
import tempfile
import unittest
from pathlib import Path

import check_docs
import reduction

TABLE = ("| T | thread | iterations | count | partial sum |\n| ---: |\n"
         "| 2 | 0 | 0–499 | 500 | 124750 |\n| 3 | 0 | 0–333 | 334 | 55611 |\n")
# Thread 1 swaps first; thread 0 fails once, then retries from what it found.
ROWS = [(1, 2, 0, 374750, 374750, 0, "succeeds"), (0, 1, 0, 124750, 124750, 374750, "fails"),
        (0, 1, 374750, 124750, 499500, 374750, "succeeds")]
SWAPS = "| T | thread | reads | partial | swaps in | finds | outcome |\n| --- |\n" + "".join(
    f"| 2 | {thread} | {' | '.join(map(str, rest))} |\n" for thread, _, *rest in ROWS)
TRACE = ("```console\n$ OMP_NUM_THREADS=2 gdb -x tests/count_combines.py --args parallel_sum\n"
         + "".join("".join(f"{cell:>10}" for cell in row) + "\n" for row in ROWS)
         + "totals: 0 → 374750 → 499500\nthread 0 (gdb 1): 1 update(s), 1 failed attempt(s)\n"
         "thread 1 (gdb 2): 1 update(s), 0 failed attempt(s)\n"
         "2 thread(s), one update each, from 0 to 499500; 1 failed swap(s) retried\n```\n")
PICTURE = ("```text\nT = 2      thread 0   thread 1\nblock      0–499      500–999\n"
           "partial    124750     374750\ntotal, threads 1, 0:   0 → 374750 → 499500\n```\n")
SCHEDULE = ("let q be 1000 divided by T (rounded down) and r the remainder: threads 0 to r − 1 "
            "take q + 1 iterations each and the others take q.\n")
MANUAL = ("with a team of T threads, the first 1000 mod T threads take 1000/T + 1 consecutive\n"
          "iterations each and the others 1000/T, in thread order.\n")


def check(doc="", readme=TABLE, manual="", rows=((2, 0), (3, 0))):
    """check_numbers on doc.md (the table of blocks, a blank line, doc), README.md, manual.1."""
    with tempfile.TemporaryDirectory() as directory:
        paths = [Path(directory, name) for name in ("doc.md", "README.md", "manual.1")]
        for path, text in zip(paths, (TABLE + "\n" + doc, readme, manual)):
            path.write_text(text, encoding="utf-8")
        return [error.replace(directory + "/", "") for error in
                check_docs.check_numbers(*map(str, paths), list(rows))]


def faults(text, *replacements):
    """text once for each (old, new), a blank line between: one fault in each."""
    return "\n".join(text.replace(old, new) for old, new in replacements)


class Numbers(unittest.TestCase):
    def refused(self, errors, *expected):
        """An error for each "place: words", in order; a place of digits is a line of doc.md."""
        self.assertEqual(len(errors), len(expected), errors)
        for error, (place, words) in zip(errors, (e.split(": ", 1) for e in expected)):
            self.assertTrue(error.startswith(("doc.md:" if place.isdigit() else "") + place + ": ")
                            and words in error, (error, place, words))

    def test_right(self):
        prose = ("For T = 3, 1000 / 3 = 333 and 1000 mod 3 = 1. It runs from 0 to 499500, exits 1 "
                 "on x86-64 (`sum = 7`, [a](#b7)), 1000 / 7 = 142, 2^24 = 16777216.\n")
        spy = "```\n$ SPY_TEAM_SIZE=2 --env SPY_THREAD_NUM=1 ./parallel_sum\nsum = 374750.000000\n"
        self.assertEqual(check("\n".join([SWAPS, PICTURE, "```\nblock 0–498\n```", TRACE, prose,
                                          SCHEDULE, spy + "sum = 499500.000000\n```"]),
                               readme=TABLE + "| 1024 | 1000 | none | 0 | 0 |\n\nIts prose: 7.\n",
                               manual='.\\" 2026\n.Dd December 9, 2026\nThe status is 0.\n.Lk '
                                      "https://x.org/5.0\n" + MANUAL), [])

    def test_tables(self):
        self.refused(check(readme="no table"), "README.md: no table of blocks (T | thread | iter")
        swapped = re.sub(r"\| 2 \| ([01])", lambda m: "| 2 | " + "10"[int(m[1])], SWAPS)
        retry = SWAPS + "| 2 | 0 | 0 | 124750 | 124750 | 499500 | fails |\n"
        self.refused(check("\n".join([swapped, retry, SWAPS[:SWAPS.index("| 2 | 0")],
                                      SWAPS.replace("fails |", "lost |")]),
                           TABLE.replace("| 500 |", "| 501 |") + "| 2 | x | 0 | 0 | 0 |\n"
                           "| 2 | 2 | none | 0 | 0 |\n", rows=[(2, 0), (2, 1)]),
                     "8: thread 0 of 2 has the partial 124750, not 374750\n    | 2 | 0 | 0 | 3747",
                     "9: thread 1 of 2", "10: thread 1 of 2", "12: the swaps of this table: thread "
                     "0 does not retry its failed swap from 499500 with the same partial; the total"
                     " runs [0, 374750, 499500]", "19: the swaps of this table: the total runs "
                     "[0, 374750], to 499500", "26: not a row of T | thread | reads | partial |",
                     "doc.md: the table of blocks has no row for T = 2, thread 1, which the tests",
                     "README.md:3: T = 2, thread 0 shows 0–499, 501, 124750; the static schedule "
                     "gives 0–499, 500, 124750", "README.md:5: not a row of T | thread | iter",
                     "README.md:6: a team of 2 has no thread 2")

    def test_play(self):
        # The chain rules themselves, where a document cannot break them one at a time.
        swap = {"thread": 1, "reads": 0, "partial": 5, "swaps in": 6, "finds": 2, "succeeds": False}
        self.assertEqual(reduction.play([swap])[1], [
            "thread 1 swaps in 6, not 0 + 5", "thread 1 finds 2 where the total holds 0",
            "thread 1 does not retry its failed swap from 2 with the same partial"])
        keys = ("thread", "reads", "partial", "swaps in", "finds", "succeeds")  # retried, but 6
        chain = [(1, 0, 7, 7, 0, True), (0, 0, 5, 5, 7, False), (0, 7, 6, 13, 7, True)]
        self.assertEqual(reduction.play([dict(zip(keys, swap)) for swap in chain])[1],
                         ["thread 0 does not retry its failed swap from 7 with the same partial"])
        lost = [(1, 0, 7, 7, 0, True), (0, 0, 5, 5, 7, False), (0, 0, 5, 5, 0, True)]  # 7 is lost
        self.assertEqual(reduction.play([dict(zip(keys, swap)) for swap in lost])[1], [
            "thread 0 does not retry its failed swap from 7 with the same partial",
            "thread 0 finds 0 where the total holds 7"])

    def test_pictures(self):
        self.refused(check(faults(PICTURE, ("500–999", "500–998"), ("374750\nt", "374751\nt"),
                                  ("1, 0:", "1, 1:"), ("1, 0:", "2, 0:"),
                                  (", 0:   0 → 374750 → 499500", ":   0 → 374750"))),
                     "8: the picture's blocks are 0–499, 500–999", "16: the picture's partials "
                     "are 124750, 374750", "24: in that order the total runs [0, 374750, 749500], "
                     "to 499500", "31: a team of 2 has no thread 2", "38: [0, 374750], to 499500")

    def test_trace(self):  # first threads 0 and 3 of 4, twice each
        twice = ("```\n$ OMP_NUM_THREADS=4 gdb -x count_combines.py\n  0  1  0  31125  31125  0  "
                 "succeeds\n  3  4  31125  218625  249750  31125  succeeds\n  0  1  249750  31125"
                 "  280875  249750  succeeds\n  3  4  280875  218625  499500  280875  succeeds\n"
                 "4 thread(s), one update each, from 0 to 499500; 0 failed swap(s)\n```\n")
        swapped = re.sub(r"^( +|thread )([01])\b", lambda m: m[1] + "10"[int(m[2])], TRACE,
                         flags=re.M)  # each row must carry its own thread's partial
        self.refused(check(twice + "\n" + swapped + "\n" + faults(  # then one fault in each trace
            TRACE, ("0         1    374750", "0         3    374750"), ("0         1 ",
            "0         2 "), ("→ 499500", "→ 499501"), ("374750  succeeds", "374750     fails"),
            ("1 update(s), 1", "1 update(s), 0"), ("1 failed swap(s)", "0 failed swap(s)"),
            ("2 thread(s)", ""))), "12: the trace above is not one update by each of 4 threads,"
                     " from 0 to 499500, with 0 failed", "17: thread 0 of 2 has the partial 124750"
                     ", not 374750", "18: thread 1 of 2", "19: thread 1 of 2", "30: a thread has "
                     "one gdb number, a gdb number one thread: {1: 2, 0: 1}", "40: {1: 2, 0: 2}",
                     "41: {1: 2, 0: 2}", "43: thread 0, gdb's 2, made one update and 1 failed "
                     "swap(s) above", "53: the swaps above run the total [0, 374750, 499500]",
                     "64: thread 0's swap fails, though it finds 374750 and read 374750",
                     "65: gdb's 1, made one update and 2 failed", "67: each of 2 threads, from 0 "
                     "to 499500, with 2", "76: gdb's 1, made one update and 1 failed",
                     "89: with 1 failed swap(s)", "101: the trace from line 93 has no verdict line")

    def test_lines(self):
        self.refused(check("  ```\n1000 / 7 = 143\n1000 mod 7 = 5\n2^3 = 9\n3 mod 0 = 1\n$ SPY_"
                           "TEAM_SIZE=2 SPY_THREAD_NUM=1 ./parallel_sum\nsum = 499500.000000\n"
                           "sum = 12.000000\n```\n"), "7: 1000 / 7 = 143 is wrong: it is 142",
                     "8: 1000 mod 7 = 5 is wrong: it is 6", "9: 2^3 = 9 is wrong: it is 8",
                     "10: 3 mod 0 = 1 divides by zero", "12: the program prints sum = "
                     "374750.000000 here", "13: the program prints sum = 499500.000000 here")

    def test_prose(self):
        self.refused(check("One sentence.\nThen 12 and\n34 here, 2^25.\n\nFor T = 3, 1000 / 3 = "
                           "333 and 1000 mod 4 = 0. For T = 3, 999 / 3 = 333 and 999 mod 3 = 0."
                           "\n\nA.\n" + SCHEDULE.replace("q + 1", "q + 2") + "\nHere let q be "
                           "1000 divided by T (so rounded down) and so on. Each takes 1000/T. Or "
                           "1000 mod T.\n", manual=".Dt X 1\n.It 7\nOk.\n\n"
                           + MANUAL.replace("others 1000/T", "others 990/T")),
                     "7: 12, 34, 2, 25: no rule checks these numbers; write them in words, or add "
                     "a rule to tests/check_docs.py\n    Then 12 and 34 here, 2^25.", '10: "T = 3, '
                     '1000 / 3 = 333 and 1000 mod 4 = 0" is not the arithmetic of a team of 3',
                     "10: 999 / 3", '12: "let q be 1000 divided by T rounded down and r the '
                     "remainder: threads 0 to r − 1 take q + 2 iterations each and the others take "
                     "q\" gives thread 0 of 3 335 iterations; the schedule gives it 334\n    A. let"
                     " q be", "15: this sentence states the schedule in words no rule reads "
                     "(SCHEDULES)\n    Here let q be 1000 divided by T (so rounded down) and so",
                     "15: (SCHEDULES)\n    Each takes", "15: (SCHEDULES)\n    Or 1000 mod",
                     "manual.1:2: 7: no rule checks", "manual.1:5: gives thread 0 of 2 495 iter")


class Links(unittest.TestCase):
    def test_links(self):
        good = ("# Top\n\n## It's (at_exit)\n\n[a](b.md#its-at_exit) [c](#top) [d][e] ![f](b.md)\n"
                "[w](https://x.org/) [m](mailto:a@x.org) `[g](no.md)`\n```\n[h](no.md)\n```\n\n"
                "[E]: b.md#top\n")
        bad = "# Top\n\nSee [a](no.md).\nSee [a](b.md#nowhere).\nSee [a][z].\n"
        with tempfile.TemporaryDirectory() as directory:
            for name, text in (("b.md", good), ("c.md", bad), ("build/x.md", "[a](no.md)")):
                Path(directory, name).parent.mkdir(exist_ok=True)
                Path(directory, name).write_text(text, encoding="utf-8")
            self.assertEqual(check_docs.check_links(directory), ([
                "c.md:3: the link no.md leads to no file\n    See [a](no.md).",
                "c.md:4: the link b.md#nowhere names no heading of b.md\n    See [a](b.md#no"
                "where).", "c.md:5: the reference link [z] is defined nowhere\n    See [a][z]."],
                "6 links checked in 2 Markdown files"))


class Main(unittest.TestCase):
    def test_main(self):
        here, out, err = Path(__file__).parent, io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            self.assertEqual(check_docs.main(["links", str(here / "..")]), 0)
            self.assertEqual(check_docs.main(["numbers", *[str(here / "README.md")] * 2,
                                              "/dev/null", "2:0"]), 1)
        self.assertRegex(out.getvalue(), r"^\d+ links checked in \d+ Markdown files\n$")
        self.assertIn("README.md: no table of blocks", err.getvalue())
        with self.assertRaises(SystemExit) as usage:
            check_docs.main(["numbers", "doc.md", "README.md", "x.1"])
        self.assertIn("check_docs.py numbers DOC README MANUAL T:t", usage.exception.code)
