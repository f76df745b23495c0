# SPDX-License-Identifier: MIT
"""The built region_timer with the built program: what it loads, and records that parse on
each runtime, including a team larger than its slots. Run by CTest where the benchmark's
targets are built with the tests (the analysis preset); PROGRAM, TIMER and ALT_RUNTIME name
the files."""

import os
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from . import BenchError, records

PROGRAM = os.environ.get("PROGRAM")
TIMER = os.environ.get("TIMER")
ALT_RUNTIME = os.environ.get("ALT_RUNTIME", "")
EXPECTED = "sum = 499500.000000\n"


@unittest.skipUnless(PROGRAM and TIMER, "PROGRAM and TIMER are not set (the build made no timer)")
class Timer(unittest.TestCase):
    def run_timed(self, threads, runtime_dir=None, with_fd=True):
        """(phases or RecordError, the record's text) of one run with the timer."""
        library_path = [str(Path(TIMER).parent)] + ([runtime_dir] if runtime_dir else [])
        env = {"PATH": "/usr/bin:/bin", "OMP_NUM_THREADS": str(threads),
               "LD_PRELOAD": Path(TIMER).name, "LD_LIBRARY_PATH": ":".join(library_path)}
        with tempfile.TemporaryFile() as record:
            if with_fd:
                env["REGION_TIMER_FD"] = str(record.fileno())
            spawned = time.monotonic_ns()
            done = subprocess.run([PROGRAM], env=env, capture_output=True, text=True,
                                  pass_fds=(record.fileno(),), check=False)
            reaped = time.monotonic_ns()
            if done.returncode != 0 and ("Thread creation failed" in done.stderr or
                                         "unable to allocate" in done.stderr):
                self.skipTest(f"the system would not give {threads} threads (ulimit -u)")
            self.assertEqual((done.returncode, done.stdout, done.stderr), (0, EXPECTED, ""))
            record.seek(0)
            text = record.read().decode()
        try:
            return records.parse(text, spawned, reaped), text
        except BenchError as error:
            return error, text

    def test_loads_nothing_but_libc(self):
        dynamic = subprocess.run(["readelf", "-d", TIMER], capture_output=True, text=True,
                                 check=True).stdout
        needed = [line.split("[")[1].rstrip("]") for line in dynamic.splitlines()
                  if "(NEEDED)" in line]
        self.assertEqual(needed, ["libc.so.6"])

    def test_records_on_each_runtime(self):
        runtimes = {"libgomp": None}
        if ALT_RUNTIME and (Path(ALT_RUNTIME) / "libgomp.so.1").exists():
            runtimes["libomp"] = ALT_RUNTIME
        for runtime, directory in runtimes.items():
            for threads in (1, 3, 64):
                with self.subTest(runtime=runtime, threads=threads):
                    phases, text = self.run_timed(threads, directory)
                    self.assertIsInstance(phases, dict, text[:200])
                    self.assertEqual(phases["threads"], threads)
                    self.assertTrue(all(phases[key] >= 0 for key, _ in records.PHASES))

    def test_more_threads_than_slots(self):
        phases, text = self.run_timed(5000)
        self.assertIsInstance(phases, BenchError)
        self.assertEqual(str(phases), "region_timer timed 4096 of 5000 threads")
        self.assertEqual(text.split()[2:4], ["5000", "4096"])

    def test_no_descriptor_no_record(self):
        _, text = self.run_timed(2, with_fd=False)
        self.assertEqual(text, "")


if __name__ == "__main__":
    unittest.main()
