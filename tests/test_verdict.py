# SPDX-License-Identifier: MIT
"""which_runtime.py and verdict.py on the lines broken runtimes print, and on JUnit files."""

import contextlib
import io
import json
import pathlib
import sys
import tempfile
import unittest
import unittest.mock

import verdict
import which_runtime

TRIED = "  1234:\t  trying file=/bad/libgomp.so.1\n"
INIT = "  1234:\tcalling init: /bad/libgomp.so.1\n  1234:\ttransferring control: ./p\n"
GNU = "OPENMP DISPLAY ENVIRONMENT BEGIN\n  _OPENMP = '201511'\n  GOMP_SPINCOUNT = '300000'\n"
LLVM = "LLVM OMP version: 5.0.20140926\nLLVM OMP build compiler: Clang 14.0\n   _OPENMP='201611'\n"
SHORT = "./p: error while loading shared libraries: /bad/libgomp.so.1: file too short"
VERSION = "./p: /bad/libgomp.so.1: version `GOMP_4.0' not found (required by ./p)"


class WhichRuntime(unittest.TestCase):
    def test_identify(self):  # a "#" ends the text where it must end the line
        for status, text, said in [
                (127, SHORT.replace("/bad/libgomp.so.1: file too short", "libgomp.so.1: cannot "
                 "open shared object file: No such file"), "finds no libgomp.so.1 on LD_LIBRARY"),
                (1, f"{TRIED}{VERSION}\n{VERSION.replace('GOMP_4.0', 'OMP_1.0')}\n",
                 f"does not load; the loader says: {VERSION} (and 1 more line(s) like it)#"),
                (127, SHORT, f"the loader says: {SHORT}#"),
                (-7, TRIED.replace("bad", "lib") + TRIED,
                 "SIGBUS while loading the last file the loader tried, /bad/libgomp.so"),
                (-11, "stray\n", "killed by SIGSEGV while loading its libraries"),
                (0, "1:\tcalling init: /lib/libc.so.6\nsum = 499500.000000\n", "./p loaded no"),
                (0, INIT + "  _OPENMP = '201511'\n", "it is some other runtime"),
                (0, INIT + "  GOMP_SPINCOUNT = '300000'\n", "it is some other runtime"),
                (3, INIT + GNU, "at /bad/libgomp.so.1 ended with status 3#"),
                (-6, INIT + GNU, "at /bad/libgomp.so.1 ended with status -6#"),
                (0, INIT + GNU, "ran on GNU libgomp (_OPENMP 201511) at /bad/libgomp.so.1#"),
                (0, INIT + LLVM, "ran on LLVM's libomp (built by Clang 14.0, _OPENMP 201611) at "
                                 "/bad/libgomp.so.1#")]:
            facts, found = which_runtime.identify(status, text, "./p")
            self.assertIn(said, ("ran on " if facts else "") + found + "#")

    def test_package(self):  # a file of Debian's, one of nobody's, and a system without dpkg
        self.assertRegex(which_runtime.package("/bin/sh"), r"^Debian's dash [0-9]")
        self.assertEqual(which_runtime.package("/bad/libgomp.so.1"), "")
        with unittest.mock.patch.dict("os.environ", {"PATH": "/nonexistent"}):
            self.assertEqual(which_runtime.package("/bin/sh"), "")

    def test_main(self):
        with tempfile.TemporaryDirectory() as tmp, contextlib.redirect_stdout(io.StringIO()) as out:
            pathlib.Path(tmp, "libgomp.so.1").symlink_to("/bad/libgomp.so.1.0")
            gnu = ["--", sys.executable, "-c", f"print({INIT.replace('/bad', tmp) + GNU!r})"]
            found = f"GNU libgomp (_OPENMP 201511) at {tmp}/libgomp.so.1 = /bad/libgomp.so.1.0"
            facts = ["--facts", f"{tmp}/results/facts.jsonl", "--case"]
            self.assertEqual([which_runtime.main(argv) for argv in (
                [f"--expect={found}", *facts, "a", *gnu], ["--expect=", *facts, "b", *gnu], gnu,
                ["--", "false"])], [0, 1, 0, 1])
            records = [*map(json.loads, pathlib.Path(facts[1]).read_text().splitlines())]
        mismatch = (f"the program ran on {found}, but configuring found none: has LD_LIBRARY_PATH "
                    "changed since? Configure again in this shell")
        record = {"case": "a", "path": f"{tmp}/libgomp.so.1", "file": "/bad/libgomp.so.1.0",
                  "runtime": "GNU libgomp", "version": "", "openmp": "201511"}
        self.assertEqual(records, [{**record, "identity": found},
                                   {**record, "case": "b", "error": mismatch}])
        self.assertEqual(out.getvalue().splitlines(), [
            found, mismatch, found, "false loaded no libgomp.so.1: was it built without OpenMP?"])


class Verdict(unittest.TestCase):
    def test_lines(self):
        def cases(*names, status="run"):
            return dict.fromkeys(names, (status, ""))
        fail, gnu = "FAIL: g++, OpenMP 4.5", {"runtime.library": {"identity": "GNU libgomp (...)"}}
        both = {**gnu, "alt_runtime.loaded": {"identity": "LLVM's libomp (...)"}}
        shown = {prefix + name: ("run", "2 run(s) as expected\n") for prefix in ("", "alt_runtime.")
                 for name in ("output.threads_16", "combine.threads_7", "contention.threads_1024")}
        for results, facts, line in [
                ({**cases("alt_runtime.loaded", "doc.links", status="fail"),
                  **cases("alt_runtime.output.threads_2", status="notrun")},
                 {"alt_runtime.loaded": {"error": "X"}}, f"{fail}: alt_runtime.loaded: X; 1 "
                 "case(s) not run because of it; 1 other case(s) failed too"),
                (cases("runtime.library", *"fbdca", status="fail"), gnu, f"{fail}, on GNU "
                 "libgomp (...): 6 of 6 case(s) failed (a, b, c, d, f, ...); what each says: "
                 "tests/README.md, When a case fails"),
                (cases(*"abcde", status="fail"), gnu, f"{fail}, on GNU libgomp (...): 5 of 5 "
                 "case(s) failed (a, b, c, d, e); what each says: tests/README.md, When a case "
                 "fails"),
                ({**shown, **cases("runtime.imports")}, both, "PASS: g++, OpenMP 4.5, on GNU "
                 "libgomp (...): a real team of 16 threads, each its static block, one lock-free "
                 "update each, no lost update in 2 runs at 1024 threads; on LLVM's libomp (...): "
                 "the same"),
                ({**cases("output.threads_4", "partition.T3_thread0", "combine.threads_2",
                          "alt_runtime.output.threads_2", "alt_runtime.partition.T1_thread0"),
                  **cases("output.threads_1024", "runtime.imports", status="notrun"),
                  "contention.threads_1024": ("run", "3 run(s) as expected\n")}, both, "PASS: g++, "
                 "OpenMP 4.5, on GNU libgomp (...): a real team of 4 threads, each its static "
                 "block, one update each, no lost update in 3 runs at 1024 threads; on LLVM's "
                 "libomp (...): a real team of 2 threads, each its static block"),
                ({**cases("doc.links"), **cases("doc.figure", status="notrun")},
                 {"runtime.library": {"error": "X"}}, "PASS: g++, OpenMP 4.5, on a runtime not "
                 "identified (runtime.library did not run): 1 case(s) passed"),
                (cases("output.threads_2", "doc.links", status="notrun"), gnu, f"{fail}, on GNU "
                 "libgomp (...): no case ran (2 skipped or not run)")]:
            self.assertEqual(verdict.verdict(results, facts, "g++, OpenMP 4.5"), line)

    def test_main(self):
        printed, args = io.StringIO(), ["--compiler", "g++", "--openmp", "4.5"]
        with tempfile.TemporaryDirectory() as results, contextlib.redirect_stdout(printed):
            verdict.main([*args, results])  # no JUnit file, no line
            junit = pathlib.Path(results, "junit.xml")
            junit.write_text('<testsuite><testcase name="runtime.library" status="fail"/>'
                             '<testcase name="a" status="notrun"/></testsuite>')
            facts = pathlib.Path(results, "facts.jsonl")
            facts.write_text(json.dumps({"case": "runtime.library", "error": "X"}) + "\n")
            verdict.main([*args, results])
            facts.unlink()
            junit.write_text('<testsuite><testcase name="contention.threads_1024" status="run">'
                             '<system-out>\n3 run(s) as expected</system-out></testcase>'
                             '</testsuite>')
            verdict.main([*args, results])
        self.assertEqual(printed.getvalue(), "\nFAIL: g++, OpenMP 4.5: runtime.library: X; 1 "
                         "case(s) not run because of it\n\nPASS: g++, OpenMP 4.5, on a runtime not "
                         "identified (runtime.library did not run): no lost update in 3 runs at "
                         "1024 threads\n")
