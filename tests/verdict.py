#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The closing line of a test run: PASS or FAIL, the toolchain, and what was shown.

    verdict.py --compiler TEXT --openmp TEXT RESULTS_DIR

CTest runs this after the tests (CTEST_CUSTOM_POST_TEST, in the build directory's
CTestCustom.cmake). It reads RESULTS_DIR/junit.xml, which CTest writes when asked
(the presets ask), and RESULTS_DIR/facts.jsonl, in which runtime.library and
alt_runtime.loaded say which runtime the program ran on (which_runtime.py). Without
a JUnit file from this run it prints nothing. Always exits 0: CTest's own status
tells a failure, and a post-test command that fails would add lines after this one.
"""

import argparse
import json
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

SETUP = {"": "runtime.library", "alt_runtime.": "alt_runtime.loaded"}


def read_cases(junit):
    """{name: (status, output)} of every case in CTest's JUnit file."""
    cases = {}
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        cases[case.get("name")] = (case.get("status"), case.findtext("system-out", ""))
    return cases


def passed(cases, pattern):
    """The matches of pattern (anchored) among the names of the cases that passed."""
    return [m for m in (re.fullmatch(pattern, name) for name, (status, _) in cases.items()
                        if status == "run") if m]


def shown(cases, prefix):
    """What the passing cases of one runtime (name prefix) showed, in a few words."""
    p = re.escape(prefix)
    teams = [int(m.group(1)) for m in passed(cases, p + r"(?:output|combine)\.threads_([0-9]+)")]
    combined = passed(cases, p + r"combine\.threads_[0-9]+")
    said = []
    if teams:
        said.append(f"a real team of {max(teams)} threads")
    if combined or passed(cases, p + r"partition\..*"):
        said.append("each its static block")
    if combined:
        lock_free = "lock-free " if passed(cases, r"runtime\.imports") else ""
        said.append(f"one {lock_free}update each")
    for name, (status, output) in cases.items():
        runs = re.search(r"^([0-9]+) run\(s\) as expected$", output, re.M)
        if name == prefix + "contention.threads_1024" and status == "run" and runs:
            said.append(f"no lost update in {runs.group(1)} runs at 1024 threads")
    return ", ".join(said)


def verdict(cases, facts, compiler, openmp):
    toolchain = f"{compiler}, OpenMP {openmp}"
    failed = sorted(name for name, (status, _) in cases.items() if status == "fail")
    not_run = [name for name, (status, _) in cases.items() if status == "notrun"]
    for setup in SETUP.values():
        if setup in failed and "error" in facts.get(setup, {}):
            others = len(failed) - 1
            also = f"; {others} other case(s) failed too" if others else ""
            return (f"FAIL: {toolchain}: {setup}: {facts[setup]['error']}; "
                    f"{len(not_run)} case(s) not run because of it{also}")
    runtime = facts.get(SETUP[""], {}).get("identity", "a runtime not identified "
                                           "(runtime.library did not run)")
    if failed:
        listed = ", ".join(failed[:5]) + (", ..." if len(failed) > 5 else "")
        return (f"FAIL: {toolchain}, on {runtime}: {len(failed)} of {len(cases)} case(s) "
                f"failed ({listed}); what each says: tests/README.md, When a case fails")
    line = f"PASS: {toolchain}, on {runtime}: {shown(cases, '') or f'{len(cases)} case(s) passed'}"
    alt = facts.get(SETUP["alt_runtime."], {}).get("identity")
    if alt:
        other = shown(cases, "alt_runtime.")
        line += f"; on {alt}: " + ("the same" if other == shown(cases, "") else other)
    return line


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--openmp", required=True)
    parser.add_argument("results")
    args = parser.parse_args(argv)
    compiler, openmp, results = args.compiler, args.openmp, args.results
    junit = os.path.join(results, "junit.xml")
    if not os.path.exists(junit):
        return 0
    facts = {}
    if os.path.exists(os.path.join(results, "facts.jsonl")):
        with open(os.path.join(results, "facts.jsonl"), encoding="utf-8") as lines:
            for line in lines:
                record = json.loads(line)
                facts[record["case"]] = record
    print("\n" + verdict(read_cases(junit), facts, compiler, openmp))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
