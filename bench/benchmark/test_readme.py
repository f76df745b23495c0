# SPDX-License-Identifier: MIT
"""The README's generated block, and writing results whole or not at all."""

import os
import tempfile
import unittest
from pathlib import Path
from unittest import mock

from . import files, readme, testing
from .errors import BenchError

README = f"""# title

prose before

{readme.BEGIN}
old block
{readme.END}

prose after
"""


class Markers(unittest.TestCase):
    def test_only_the_block_is_replaced(self):
        new = readme.rewrite(README, "line 1\n\nline 2\n")
        self.assertEqual(new, README.replace("old block", "line 1\n\nline 2"))
        self.assertEqual(readme.rewrite(new, "line 1\n\nline 2"), new)

    def test_markers_missing_repeated_or_out_of_order(self):
        wrong = {
            "no markers": "# title\n",
            "no end": f"{readme.BEGIN}\nblock\n",
            "no begin": f"block\n{readme.END}\n",
            "begin twice": f"{readme.BEGIN}\n{readme.BEGIN}\nblock\n{readme.END}\n",
            "end first": f"{readme.END}\nblock\n{readme.BEGIN}\n",
            "inside a line": f"see {readme.BEGIN} here\n{readme.END}\n",
        }
        for what, text in wrong.items():
            with self.subTest(what), self.assertRaises(BenchError):
                readme.rewrite(text, "block")


class Files(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = Path(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def test_a_failed_write_leaves_the_old_file(self):
        target = self.dir / "README.md"
        target.write_text("old\n")
        with mock.patch("os.replace", side_effect=OSError(28, "No space left on device")):
            with self.assertRaisesRegex(BenchError, "No space left on device"):
                files.atomic_write(target, "new\n")
        self.assertEqual(target.read_text(), "old\n")
        self.assertEqual(os.listdir(self.dir), ["README.md"])
        files.atomic_write(target, "new\n")
        self.assertEqual(target.read_text(), "new\n")
        self.assertEqual(os.listdir(self.dir), ["README.md"])

    def test_commit_writes_and_removes_stale_figures(self):
        old = [self.dir / "whole_process.svg", self.dir / "timeline.svg"]
        for path in old:
            path.write_text("<svg>old</svg>")
        files.commit({self.dir / "summary.csv": "a,b\n", old[0]: "<svg>new</svg>"}, old)
        self.assertEqual(old[0].read_text(), "<svg>new</svg>")
        self.assertFalse(old[1].exists())
        self.assertEqual((self.dir / "summary.csv").read_text(), "a,b\n")
        files.commit({self.dir / "summary.csv": "c\n"}, old)
        self.assertEqual(sorted(os.listdir(self.dir)), ["summary.csv"])

    def test_unwritable_directories(self):
        plain = self.dir / "file"
        plain.write_text("")
        with self.assertRaisesRegex(BenchError, "^cannot write to .*file/results: Not a directory"):
            files.check_writable(plain / "results")
        # A directory that exists but takes no new file, even from root.
        with self.assertRaisesRegex(BenchError, "^cannot write to /sys: Permission denied$"):
            files.check_writable("/sys")
        files.check_writable(self.dir / "new" / "results")
        self.assertEqual(os.listdir(self.dir / "new" / "results"), [])


if __name__ == "__main__":
    testing.main()
