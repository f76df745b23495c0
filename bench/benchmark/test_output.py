# SPDX-License-Identifier: MIT
"""The documents' generated blocks, the CSV of every run, and writing results whole or not
at all."""

import csv
import io
import os
import tempfile
import unittest
from pathlib import Path
from unittest import mock

from . import BenchError, output, test_fakes


class Files(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def test_only_the_block_between_the_markers_is_replaced(self):
        for begin, end in (output.BLOCK, output.HEADLINE):
            path = self.dir / "README.md"
            text = f"# title\n\nbefore\n\n{begin}\nold block\n{end}\n\nafter\n"
            path.write_text(text)
            with self.subTest(begin):
                new = output.rewrite(output.read_document(path, (begin, end)), (begin, end),
                                     "line 1\n\nline 2\n")
                self.assertEqual(new, text.replace("old block", "line 1\n\nline 2"))
                # The other document's markers are not these.
                other = output.HEADLINE if begin == output.BLOCK[0] else output.BLOCK
                with self.assertRaisesRegex(BenchError, "must hold the line .* once, not 0"):
                    output.read_document(path, other)

    def test_markers_missing_repeated_or_out_of_order(self):
        begin, end = output.BLOCK
        wrong = {
            "no markers": "# title\n",
            "no end": f"{begin}\nblock\n",
            "begin twice": f"{begin}\n{begin}\nblock\n{end}\n",
            "end first": f"{end}\nblock\n{begin}\n",
            "inside a line": f"see {begin} here\n{end}\n",
        }
        path = self.dir / "README.md"
        for what, text in wrong.items():
            path.write_text(text)
            with self.subTest(what), self.assertRaisesRegex(BenchError, f"^{path} "):
                output.read_document(path, output.BLOCK)
        with self.assertRaisesRegex(BenchError, "^cannot read .*: No such file or directory$"):
            output.read_document(self.dir / "missing.md", output.BLOCK)

    def test_a_failed_write_leaves_the_old_file(self):
        target = self.dir / "README.md"
        target.write_text("old\n")
        with mock.patch("os.replace", side_effect=OSError(28, "No space left on device")):
            with self.assertRaisesRegex(BenchError, "No space left on device"):
                output.atomic_write(target, "new\n")
        self.assertEqual((target.read_text(), os.listdir(self.dir)), ("old\n", ["README.md"]))
        output.atomic_write(target, "new\n")
        self.assertEqual((target.read_text(), os.listdir(self.dir)), ("new\n", ["README.md"]))
        with self.assertRaisesRegex(BenchError, "^cannot write .*: No such file or directory$"):
            output.atomic_write(self.dir / "missing" / "README.md", "new\n")

    def test_commit_writes_and_removes_stale_figures(self):
        old = [self.dir / "phases.svg", self.dir / "timeline.svg"]
        for path in old:
            path.write_text("<svg>old</svg>")
        output.commit({self.dir / "runs.csv": "a,b\n", old[0]: "<svg>new</svg>"}, old)
        self.assertEqual(old[0].read_text(), "<svg>new</svg>")
        self.assertFalse(old[1].exists())
        self.assertEqual((self.dir / "runs.csv").read_text(), "a,b\n")
        output.commit({self.dir / "runs.csv": "c\n"}, old)
        self.assertEqual(sorted(os.listdir(self.dir)), ["runs.csv"])

    def test_unwritable_directories(self):
        plain = self.dir / "file"
        plain.write_text("")
        with self.assertRaisesRegex(BenchError, "^cannot write to .*file/results: Not a directory"):
            output.check_writable(plain / "results")
        # A directory that exists but takes no new file, even from root: /sys refuses it,
        # or is mounted read-only (as in a container).
        with self.assertRaisesRegex(BenchError, "^cannot write to /sys: (Permission denied|"
                                                "Read-only file system)$"):
            output.check_writable("/sys")
        output.check_writable(self.dir / "new" / "results")
        self.assertEqual(os.listdir(self.dir / "new" / "results"), [])


class Csv(unittest.TestCase):
    def test_every_run_after_the_header_block(self):
        samples, _ = test_fakes.fake_results(2, test_fakes.distinct(), runtimes=("libgomp",))
        text = output.runs_csv({"machine": "test machine"}, ["the machine was busy"], samples)
        head = [line for line in text.splitlines() if line.startswith("# ")]
        self.assertEqual(head, ["# machine: test machine", "# warning: the machine was busy"])
        runs = list(csv.DictReader(io.StringIO(text[len("\n".join(head)) + 1:])))
        self.assertEqual(len(runs), len(samples))
        for run, sample in ((runs[0], samples[0]), (runs[2], samples[2])):
            self.assertEqual(run["timer"], "yes" if sample["timer"] else "no")
            self.assertAlmostEqual(float(run["wall_us"]), sample["wall"] * 1e6, places=1)
            self.assertEqual((int(run["voluntary_cs"]), int(run["involuntary_cs"])),
                             (sample["nvcsw"], sample["nivcsw"]))
            self.assertEqual(bool(run["team_start_us"]), sample["timer"])


if __name__ == "__main__":
    unittest.main()
