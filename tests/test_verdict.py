# SPDX-License-Identifier: MIT
"""which_runtime.py and verdict.py on the loader's and runtimes' own lines, as they
printed them for the broken runtimes in tests/README.md, and on CTest's JUnit file."""

import contextlib
import io
import json
import os
import sys
import tempfile
import unittest

import verdict
import which_runtime

TRIED = "  1234:\t  trying file=/bad/libgomp.so.1\n"
INIT = "  1234:\tcalling init: /bad/libgomp.so.1\n  1234:\ttransferring control: ./p\n"
GNU = "OPENMP DISPLAY ENVIRONMENT BEGIN\n  _OPENMP = '201511'\n  GOMP_SPINCOUNT = '300000'\n"
LLVM = "LLVM OMP version: 5.0.20140926\nLLVM OMP build compiler: Clang 14.0\n   _OPENMP='201611'\n"


class WhichRuntime(unittest.TestCase):
    def test_reasons(self):
        version = "./p: /bad/libgomp.so.1: version `GOMP_4.0' not found (required by ./p)\n"
        for status, text, reason in [
                (127, "./p: error while loading shared libraries: libgomp.so.1: cannot open "
                      "shared object file: No such file or directory\n",
                 "the loader finds no libgomp.so.1 on LD_LIBRARY_PATH"),
                (1, TRIED + version + version.replace("GOMP_4.0", "OMP_1.0"),
                 "the runtime does not load; the loader says: " + version.strip()
                 + " (and 1 more line(s) like it)"),
                (-7, TRIED, "killed by SIGBUS while loading the last file the loader tried, "
                            "/bad/libgomp.so.1"),
                (-11, "", "killed by SIGSEGV while loading its libraries"),
                (127, "./p: error while loading shared libraries: /bad/libgomp.so.1: file too "
                      "short\n", "the loader says: ./p: error while loading shared libraries: "
                                 "/bad/libgomp.so.1: file too short"),
                (0, "sum = 499500.000000\n", "./p loaded no libgomp.so.1"),
                (0, INIT + "  _OPENMP = '201511'\n", "it is some other runtime"),
                (0, INIT + "  GOMP_SPINCOUNT = '300000'\n", "it is some other runtime"),
                (3, INIT + GNU, "the program on GNU libgomp (_OPENMP 201511) at "
                                "/bad/libgomp.so.1 ended with status 3")]:
            with self.subTest(reason):
                facts, why = which_runtime.identify(status, text, "./p")
                self.assertIsNone(facts)
                self.assertIn(reason, why)

    def test_runtimes(self):
        for text, described in [
                (GNU, "GNU libgomp (_OPENMP 201511) at /bad/libgomp.so.1"),
                (LLVM, "LLVM's libomp (built by Clang 14.0, _OPENMP 201611) at /bad/libgomp.so.1")]:
            facts, why = which_runtime.identify(0, INIT + text + "sum = 499500.000000\n", "./p")
            self.assertIsNone(why)
            self.assertEqual(which_runtime.describe(facts), described)

    def test_expected_and_facts(self):
        printer = [sys.executable, "-c", f"print({INIT + GNU!r})"]
        with tempfile.TemporaryDirectory() as results:
            facts = os.path.join(results, "facts.jsonl")
            expect = "--expect=GNU libgomp (_OPENMP 201511) at /bad/libgomp.so.1"
            self.assertEqual(which_runtime.main([expect, "--facts", facts, "--case", "a", "--",
                                                 *printer]), 0)
            self.assertEqual(which_runtime.main(["--expect=", "--facts", facts, "--case", "b", "--",
                                                 *printer]), 1)
            with open(facts, encoding="utf-8") as lines:
                records = [json.loads(line) for line in lines]
        self.assertEqual(records[0]["identity"], expect[len("--expect="):])
        self.assertIn("but configuring found none", records[1]["error"])


def case(name, status="run", output=""):
    return name, (status, output)


class Verdict(unittest.TestCase):
    FACTS = {"runtime.library": {"identity": "GNU libgomp (...)"},
             "alt_runtime.loaded": {"identity": "LLVM's libomp (...)"}}

    def line(self, *cases, facts=None):
        return verdict.verdict(dict(cases), self.FACTS if facts is None else facts, "g++", "4.5")

    def test_root_cause(self):
        facts = {"runtime.library": {"error": "the runtime does not load; the loader says: X"}}
        line = self.line(case("runtime.library", "fail"), case("output.threads_2", "notrun"),
                         case("output.threads_3", "notrun"), case("output.threads_4", "notrun"),
                         case("runtime.imports", "fail"),
                         facts=facts)
        self.assertEqual(line, "FAIL: g++, OpenMP 4.5: runtime.library: the runtime does not "
                               "load; the loader says: X; 3 case(s) not run because of it; "
                               "1 other case(s) failed too")

    def test_failures(self):
        line = self.line(case("runtime.library"), case("combine.threads_7", "fail"))
        self.assertTrue(line.startswith("FAIL: g++, OpenMP 4.5, on GNU libgomp (...): 1 of 2 "
                                        "case(s) failed (combine.threads_7)"), line)
        line = self.line(*(case(f"output.threads_{n}", "fail") for n in range(1, 7)))
        self.assertIn("6 of 6 case(s) failed (output.threads_1, output.threads_2, "
                      "output.threads_3, output.threads_4, output.threads_5, ...)", line)

    def test_pass_unidentified(self):
        self.assertEqual(self.line(case("doc.links"), facts={}),
                         "PASS: g++, OpenMP 4.5, on a runtime not identified (runtime.library "
                         "did not run): 1 case(s) passed")

    def test_pass(self):
        runs = "2 run(s) as expected\n"
        both = [case(prefix + name, output=runs) for prefix in ("", "alt_runtime.")
                for name in ("output.threads_4", "combine.threads_7", "contention.threads_1024")]
        self.assertEqual(self.line(*both, case("runtime.imports")),
                         "PASS: g++, OpenMP 4.5, on GNU libgomp (...): a real team of 7 threads, "
                         "each its static block, one lock-free update each, no lost update in "
                         "2 runs at 1024 threads; on LLVM's libomp (...): the same")
        self.assertEqual(self.line(case("output.threads_4"), case("partition.T3_thread0"),
                                   case("combine.threads_2"), case("alt_runtime.output.threads_2")),
                         "PASS: g++, OpenMP 4.5, on GNU libgomp (...): a real team of 4 threads, "
                         "each its static block, one update each; on LLVM's libomp (...): a real "
                         "team of 2 threads")

    def test_files(self):
        junit = """<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="(empty)" tests="3" failures="1" disabled="0" skipped="0" hostname="" time="1">
	<testcase name="runtime.library" classname="runtime.library" time="0.1" status="fail">
		<failure message=""/>
		<system-out>the runtime does not load; the loader says: X
</system-out>
	</testcase>
	<testcase name="output.threads_2" classname="output.threads_2" time="0" status="notrun">
		<skipped message="Fixture dependency failed"/>
		<system-out>Failed test dependencies: runtime.library</system-out>
	</testcase>
	<testcase name="runtime.imports" classname="runtime.imports" time="0.2" status="run">
		<system-out/>
	</testcase>
</testsuite>
"""
        printed = io.StringIO()
        with tempfile.TemporaryDirectory() as results, contextlib.redirect_stdout(printed):
            with open(os.path.join(results, "junit.xml"), "w", encoding="utf-8") as out:
                out.write(junit)
            with open(os.path.join(results, "facts.jsonl"), "w", encoding="utf-8") as out:
                out.write(json.dumps({"case": "runtime.library", "error": "X"}) + "\n")
            verdict.main(["--compiler", "g++", "--openmp", "4.5", results])
            os.remove(os.path.join(results, "facts.jsonl"))
            verdict.main(["--compiler", "g++", "--openmp", "4.5", results])
        first, second = printed.getvalue().split("\n\n")
        self.assertEqual(first, "\nFAIL: g++, OpenMP 4.5: runtime.library: X; 1 case(s) not run "
                                "because of it")
        self.assertTrue(second.startswith("FAIL: g++, OpenMP 4.5, on a runtime not identified"))

    def test_no_junit_no_line(self):
        printed = io.StringIO()
        with tempfile.TemporaryDirectory() as results, contextlib.redirect_stdout(printed):
            self.assertEqual(verdict.main(["--compiler", "g++", "--openmp", "4.5", results]), 0)
        self.assertEqual(printed.getvalue(), "")


if __name__ == "__main__":
    unittest.main()
