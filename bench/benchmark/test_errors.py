# SPDX-License-Identifier: MIT
"""run_bench.py's failures, each run as a user would meet it: one line on stderr, a non-zero
status, no traceback, and nothing measured when the failure could be known beforehand.

Each case runs a copy of the script in a scratch tree with a stand-in for cmake on PATH, so
that no real build or timing happens."""

import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
from pathlib import Path

from . import figures, output

BENCH = Path(__file__).resolve().parent.parent


def executable(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(text).lstrip())
    path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


class Failures(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = Path(self.tmp.name) / "tree with space"
        shutil.copytree(BENCH, self.root / "bench",
                        ignore=shutil.ignore_patterns("__pycache__", "results", "figures", "*.c",
                                                      "CMakeLists.txt", "*.cmake", "*.md"))
        (self.root / "tests").mkdir()
        shutil.copy(BENCH.parent / "tests" / "runtime-settings.txt", self.root / "tests")
        for path, (begin, end) in ((self.root / "README.md", output.HEADLINE),
                                   (self.root / "bench" / "README.md", output.BLOCK)):
            path.write_text(f"# x\n\n{begin}\nold\n{end}\n")
        self.tools = Path(self.tmp.name) / "tools"
        self.tools.mkdir()
        self.called = Path(self.tmp.name) / "cmake was called"

    def tearDown(self):
        self.tmp.cleanup()

    def fake_cmake(self, body):
        """A cmake that notes it was called, then runs body (a shell script)."""
        executable(self.tools / "cmake",
                   f"#!/bin/sh\nPATH=/usr/bin:/bin\ntouch '{self.called}'\n{body}\n")

    def fake_build(self, program_body):
        """A cmake whose "build" makes a serial program that prints the line and a parallel
        program that runs program_body."""
        build = self.root / "build" / "bench"
        self.fake_cmake(textwrap.dedent(f"""
            mkdir -p '{build}/bench'
            printf '#!/bin/sh\\necho "sum = 499500.000000"\\n' > '{build}/bench/parallel_sum_serial'
            printf '#!/bin/sh\\n{program_body}\\n' > '{build}/parallel_sum'
            chmod +x '{build}/bench/parallel_sum_serial' '{build}/parallel_sum'
            touch '{build}/bench/libregion_timer.so' '{build}/bench/libearly_init.so'
            """))

    def start(self, *args, path=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("OMP_")}
        env["PATH"] = str(self.tools) if path is None else path
        return subprocess.Popen([sys.executable, "-B", str(self.root / "bench" / "run_bench.py"),
                                 "--rounds", "5", "--runs", "4", *args],
                                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def fails(self, process, status, message):
        out, err = process.communicate(timeout=60)
        self.assertEqual(process.returncode, status, err)
        self.assertNotIn("Traceback", err)
        lines = err.splitlines()
        self.assertEqual(len([l for l in lines if l.strip()]), 1, err)
        self.assertTrue(lines[-1].startswith("run_bench: "), err)
        self.assertRegex(lines[-1], message)
        return out

    def test_wrong_options(self):
        for args, message in ((["--rounds", "2"], r"--rounds must be at least 5"),
                              (["--runs", "x"], r"argument --runs: invalid int value: 'x'"),
                              (["--what"], r"unrecognized arguments: --what")):
            with self.subTest(args):
                self.fails(self.start(*args), 2, message + r".* \(see run_bench\.py --help\)$")
        self.assertFalse(self.called.exists())

    def test_no_cmake(self):
        self.fails(self.start(), 1, r"^run_bench: cmake is not installed or not on PATH "
                                    r"\(on Debian: apt-get install cmake\)$")

    def test_build_failure(self):
        self.fake_cmake("echo 'error: something' >&2; exit 2")
        self.fails(self.start(), 1, r"the build failed \(cmake --workflow --preset bench "
                                    r"exited with status 2\); its output is in .*build\.log$")
        self.assertIn("error: something", (self.root / "bench" / "results" / "build.log")
                      .read_text())
        self.fake_cmake("exit 0")
        self.fails(self.start(), 1, r"^run_bench: the build did not make .*/parallel_sum$")

    def test_interrupted(self):
        started = Path(self.tmp.name) / "building"
        self.fake_cmake(f"touch '{started}'; sleep 30")
        process = self.start()
        deadline = time.monotonic() + 30
        while not started.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        self.fails(process, 130, r"^run_bench: interrupted$")

    def test_unwritable_output_is_found_before_building(self):
        self.fake_cmake("exit 0")
        blocker = Path(self.tmp.name) / "a file"
        blocker.write_text("")
        self.fails(self.start("--out", str(blocker / "results")), 1,
                   r"^run_bench: cannot write to .*a file/results: Not a directory$")
        self.assertFalse(self.called.exists())

    def test_readme_markers_are_checked_before_building(self):
        self.fake_cmake("exit 0")
        for document, (begin, _) in (("README.md", output.HEADLINE),
                                     ("bench/README.md", output.BLOCK)):
            with self.subTest(document):
                path = self.root / document
                kept = path.read_text()
                path.write_text("# x\n\nno markers\n")
                # Without matplotlib, --readme stops earlier still, as it could draw no figures.
                message = (f"{re.escape(str(path))} must hold the line {re.escape(begin)} "
                           f"once, not 0 times$" if figures.AVAILABLE else
                           r"--readme needs the figures, but matplotlib is not installed")
                self.fails(self.start("--readme"), 1, message)
                path.write_text(kept)
        self.assertFalse(self.called.exists())

    def test_a_failing_run_is_described(self):
        cases = {"exit 1": r"libgomp T=1 default exited with status 1$",
                 "kill -SEGV $$": r"libgomp T=1 default was killed by signal 11 \(Segmentation "
                                  r"fault\)$",
                 "echo sum = 1.000000":
                     r"libgomp T=1 default printed b'sum = 1\.000000\\n', not b'sum = 499500"}
        for body, message in cases.items():
            with self.subTest(body):
                self.fake_build(body)
                self.fails(self.start(path=f"{self.tools}:/usr/bin:/bin"), 1, message)


if __name__ == "__main__":
    unittest.main()
