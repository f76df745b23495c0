# SPDX-License-Identifier: MIT
"""check_docs.py's rules, each refusing a small wrong input with its message and place, and
passing a right one. Run from tests/: python3 -m unittest test_check_docs"""

import contextlib
import io
import re
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import check_docs

TABLE = """| T | thread | iterations | count | partial sum |
| ---: | ---: | --- | ---: | ---: |
| 2 | 0 | 0–499 | 500 | 124750 |
"""
SWAPS = """| T | thread | reads | partial | swaps in | finds | outcome |
| ---: | ---: | ---: | ---: | ---: | ---: | --- |
| 2 | 1 | 0 | 374750 | 374750 | 0 | succeeds |
| 2 | 0 | 0 | 124750 | 124750 | 374750 | fails |
| 2 | 0 | 374750 | 124750 | 499500 | 374750 | succeeds |
"""
PICTURE = """```text
T = 2              thread 0          thread 1
block              0–499             500–999
partial            124750            374750
total, threads 1, 0:   0 → 374750 → 499500
```
"""
TRACE = """```console
$ OMP_NUM_THREADS=2 gdb -nx -batch -x tests/count_combines.py --args parallel_sum
sum = 499500.000000
  thread       gdb     reads   partial  swaps in     finds  outcome
       1         2         0    374750    374750         0  succeeds
       0         1         0    124750    124750    374750  fails
       0         1    374750    124750    499500    374750  succeeds
totals: 0 → 374750 → 499500
thread 0 (gdb 1): 1 update(s), 1 failed compare-and-swap attempt(s)
thread 1 (gdb 2): 1 update(s), 0 failed compare-and-swap attempt(s)
2 thread(s), one update each, from 0 to 499500; 1 failed swap(s) retried
```
"""
SCHEDULE = ("let q be 1000 divided by T, rounded down, and r the remainder: threads 0 to r − 1 "
            "take q + 1 iterations each and the others take q.")


def check(doc="", readme=TABLE, manual="", rows=((2, 0),), table=TABLE):
    """check_numbers on doc.md (after the table of blocks), README.md and manual.1."""
    with tempfile.TemporaryDirectory() as directory:
        paths = [Path(directory, name) for name in ("doc.md", "README.md", "manual.1")]
        for path, text in zip(paths, (table + "\n" + doc, readme, manual)):
            path.write_text(text, encoding="utf-8")
        return [error.replace(directory + "/", "") for error in
                check_docs.check_numbers(*map(str, paths), list(rows))]


class Case(unittest.TestCase):
    def refused(self, errors, *parts, count=1):
        """count errors, the first holding each part (the place, the message, the text)."""
        self.assertEqual(len(errors), count, errors)
        for part in parts:
            self.assertIn(part, errors[0])


class Tables(Case):
    def test_blocks(self):
        self.assertEqual(check(readme=TABLE + "| 1024 | 1000 | none | 0 | 0 |\n"), [])
        self.refused(check(readme=TABLE.replace("| 500 |", "| 501 |")), "README.md:3: T = 2, "
                     "thread 0 shows 0–499, 501, 124750; the static schedule gives 0–499, 500")
        self.refused(check(readme=TABLE + "| 2 | x | 0 |\n"), "README.md:4: not a row of T |")
        self.refused(check(readme=TABLE + "| 2 | 2 | none | 0 | 0 |\n"), "a team of 2 has no "
                     "thread 2")
        self.refused(check(readme="no table"), "README.md: no table of blocks")
        self.refused(check(rows=[(2, 0), (2, 1)]), "doc.md: the table of blocks has no row for "
                     "T = 2, thread 1")

    def test_swaps(self):
        self.assertEqual(check(SWAPS), [])
        self.refused(check(re.sub(r"\| 2 \| ([01])", lambda m: "| 2 | " + "10"[int(m[1])],
                                  SWAPS)),
                     "doc.md:7: thread 0 of 2 has the partial 124750, not 374750", count=3)
        self.refused(check(SWAPS + "| 2 | 0 | 0 | 124750 | 124750 | 499500 | fails |\n"),
                     "doc.md:5: the swaps of this table: thread 0 does not retry its failed "
                     "swap from 499500 with the same partial; the total runs [0, 374750, 499500]")
        self.refused(check("\n".join(SWAPS.split("\n")[:3])), "doc.md:5: the swaps of this "
                     "table: the total runs [0, 374750], to 499500")
        self.refused(check(SWAPS.replace("fails |", "lost |")), "doc.md:8: not a row of T | "
                     "thread | reads")


class CodeBlocks(Case):
    def test_pictures(self):
        self.assertEqual(check("```\nblock 0–498\n```\n" + PICTURE), [])  # only after T = N
        self.refused(check(PICTURE.replace("500–999", "500–998")), "doc.md:7: the picture's "
                     "blocks are 0–499, 500–999")
        self.refused(check(PICTURE.replace("374750\ntotal", "374751\ntotal")),
                     "doc.md:8: the picture's partials are 124750, 374750")
        self.refused(check(PICTURE.replace("1, 0:", "1, 1:")), "doc.md:9: in that order the "
                     "total runs [0, 374750, 749500], to 499500")
        self.refused(check(PICTURE.replace("1, 0:", "2, 0:")), "a team of 2 has no thread 2")

    def test_trace(self):
        self.assertEqual(check(TRACE), [])
        # Each row carries its own thread's partial, not just one of the team's.
        swapped = re.sub(r"^( +|thread )([01])\b", lambda m: m[1] + "10"[int(m[2])], TRACE,
                         flags=re.M)
        self.refused(check(swapped), "doc.md:9: thread 0 of 2 has the partial 124750, not "
                     "374750", count=3)
        self.refused(check(TRACE.replace("0         1    374750", "0         3    374750")),
                     "doc.md:11: a thread has one gdb number, a gdb number one thread: "
                     "{1: 2, 0: 1}")
        self.refused(check(TRACE.replace("0         1 ", "0         2 ").replace("(gdb 1)",
                                                                                 "(gdb 2)")),
                     "doc.md:10: a thread has one gdb number, a gdb number one thread: {1: 2, "
                     "0: 2}", count=2)
        self.refused(check(TRACE.replace("→ 499500", "→ 499501")), "doc.md:12: the swaps above "
                     "run the total [0, 374750, 499500]")
        self.refused(check(TRACE.replace("374750  succeeds", "374750  fails")),
                     "doc.md:12: thread 0's swap fails, though it finds 374750 and read 374750",
                     count=3)
        self.refused(check(TRACE.replace("(gdb 1): 1 update(s), 1", "(gdb 1): 1 update(s), 0")),
                     "doc.md:13: thread 0, gdb's 1, made one update and 1 failed swap(s) above")
        self.refused(check(TRACE.replace("1 failed swap(s)", "0 failed swap(s)")),
                     "doc.md:15: the trace above is not one update by each of 2 threads, from 0 "
                     "to 499500, with 1 failed swap(s)")
        # Threads 0 and 3 of 4 twice each: their partials, too, add up to the total.
        twice = ("```\n$ OMP_NUM_THREADS=4 gdb -x count_combines.py\n"
                 "       0         1         0     31125     31125         0  succeeds\n"
                 "       3         4     31125    218625    249750     31125  succeeds\n"
                 "       0         1    249750     31125    280875    249750  succeeds\n"
                 "       3         4    280875    218625    499500    280875  succeeds\n"
                 "4 thread(s), one update each, from 0 to 499500; 0 failed swap(s)\n```\n")
        self.refused(check(twice), "doc.md:11: the trace above is not one update by each of 4")
        self.refused(check(TRACE.replace("2 thread(s)", "")), "doc.md:16: the trace from line 6 "
                     "has no verdict line")


class Lines(Case):
    def test_arithmetic(self):
        self.assertEqual(check("1000 / 7 = 142, 1000 mod 7 = 6, 2^24 = 16777216\n"), [])
        for wrong, value in (("1000 / 7 = 143", 142), ("1000 mod 7 = 5", 6), ("2^3 = 9", 8)):
            self.refused(check(f"```\n{wrong}\n```\n"), f"doc.md:6: {wrong} is wrong: it is "
                         f"{value}")
        self.refused(check("```\n3 mod 0 = 1\n```\n"), "3 mod 0 = 1 divides by zero")

    def test_sums(self):
        spy = "$ SPY_TEAM_SIZE=2 SPY_THREAD_NUM=1 ./parallel_sum\n"
        self.assertEqual(check(f"```\n{spy}sum = 374750.000000\nsum = 499500.000000\n```\n"), [])
        self.refused(check(f"```\n{spy}sum = 499500.000000\n```\n"), "doc.md:7: the program "
                     "prints sum = 374750.000000 here")
        self.refused(check("```\nsum = 12.000000\n```\n"), "sum = 499500.000000 here")


class Prose(Case):
    def test_numbers(self):
        self.assertEqual(check("For T = 3, 1000 / 3 = 333 and 1000 mod 3 = 1. It runs from 0 "
                               "to 499500, exits 1 on x86-64 (`sum = 7`, [a](#b7)).\n",
                               manual=".Dd December 9, 2026\nThe status is 0.\n"), [])
        self.refused(check("One sentence.\nThen 12 and\n34 here.\n"),
                     "doc.md:6: 12, 34: no rule checks these numbers; write them in words",
                     "    Then 12 and 34 here.")
        self.refused(check(manual=".Dt X 1\n.It 7\nOk.\n"), "manual.1:2: 7: no rule checks")
        self.assertEqual(check(readme=TABLE + "The README's prose: 7.\n"), [])
        self.refused(check("For T = 3, 1000 / 3 = 333 and 1000 mod 4 = 0.\n"),
                     '"T = 3, 1000 / 3 = 333 and 1000 mod 4 = 0" is not the arithmetic of a '
                     "team of 3")
        self.refused(check("For T = 3, 999 / 3 = 333 and 999 mod 3 = 0.\n"), "not the arith")

    def test_schedule(self):
        table, teams = TABLE + "| 3 | 0 | 0–333 | 334 | 55611 |\n", [(2, 0), (3, 0)]
        manual = ("with a team of T threads, the first 1000 mod T threads take 1000/T + 1 "
                  "consecutive\niterations each and the others 1000/T, in thread order.\n")
        self.assertEqual(check(SCHEDULE.replace("T, rounded down,", "T (rounded down)"),
                               manual=manual, rows=teams, table=table), [])
        self.refused(check("A.\n" + SCHEDULE.replace("q + 1", "q + 2"), rows=teams, table=table),
                     "doc.md:6: \"let q be", "gives thread 0 of 3 335 iterations; the schedule "
                     "gives it 334")
        self.refused(check(manual=manual.replace("others 1000/T", "others 990/T"), rows=teams,
                           table=table), "manual.1:1: ", "gives thread 0 of 2 495 iterations")
        self.refused(check("Intro.\nHere let q be 1000 divided by T (so rounded down) and so on."
                           "\n"), "doc.md:6: this sentence states the schedule in words no "
                     "rule reads", "Here let q be 1000 divided by T (so rounded down)")


class Links(Case):
    def links(self, **files):
        with tempfile.TemporaryDirectory() as directory:
            for name, text in files.items():
                Path(directory, name.replace("__", "/")).parent.mkdir(exist_ok=True)
                Path(directory, name.replace("__", "/")).write_text(text, encoding="utf-8")
            return check_docs.check_links(directory)

    def test_links(self):
        good = ("# Top\n\n## It's (here)\n\n[a](b.md#its-here) [c](#top) [d][e] ![f](b.md)\n"
                "[w](https://x.org/) `[g](no.md)`\n```\n[h](no.md)\n```\n\n[e]: b.md#top\n")
        self.assertEqual(self.links(**{"b.md": good, "build__x.md": "[a](no.md)"}),
                         ([], "4 links checked in 1 Markdown files"))
        for link, problem in (("[a](no.md)", "the link no.md leads to no file"),
                              ("[a](b.md#nowhere)", "the link b.md#nowhere names no heading of "
                               "b.md"),
                              ("[a][z]", "the reference link [z] is defined nowhere")):
            errors, _ = self.links(**{"b.md": f"# Top\n\nSee {link}.\n"})
            self.refused(errors, f"b.md:3: {problem}", f"\n    See {link}.")


class Main(Case):
    def run_main(self, *argv):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            return check_docs.main(list(argv)), out.getvalue(), err.getvalue()

    def test_main(self):
        here = Path(__file__).parent
        self.assertEqual(self.run_main("links", str(here / "..")),
                         (0, self.run_main("links", str(here / ".."))[1], ""))
        status, out, err = self.run_main("numbers", str(here / "README.md"),
                                         str(here / "README.md"), "/dev/null", "2:0")
        self.assertEqual((status, out), (1, ""))
        self.assertIn("README.md: no table of blocks", err)
        with self.assertRaises(SystemExit) as usage:
            check_docs.main(["numbers", "doc.md"])
        self.assertIn("check_docs.py numbers DOC README MANUAL T:t", usage.exception.code)


@unittest.skipUnless(subprocess.run([sys.executable, "-c", "import matplotlib"],
                                    check=False).returncode == 0, "no matplotlib")
class Figure(Case):
    def test_compare(self):
        script = Path(__file__).parent / ".." / "doc" / "blocks.py"
        with tempfile.TemporaryDirectory() as directory:
            run = subprocess.run([sys.executable, "-B", script, "--compare", __file__,
                                  Path(directory, "drawn.svg")], capture_output=True,
                                 text=True, check=False)
        self.assertEqual(run.returncode, 1)
        self.assertIn("is not what doc/blocks.py draws now", run.stderr)
        self.assertIn("rewrite it with /usr/bin/python3 doc/blocks.py", run.stderr)


if __name__ == "__main__":
    unittest.main()
