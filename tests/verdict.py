#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The closing line of a test run, after CTest's summary: tests/README.md, The last line. It
always exits 0: CTest's own status tells a failure, and a failing post-test command would add
lines after it.
"""

import argparse
import json
import pathlib
import re
import xml.etree.ElementTree as ElementTree


def shown(cases, prefix):
    """What the passing cases of one runtime (name prefix) showed, in a few words."""
    ran = {name: out for name, (status, out) in cases.items() if status == "run"}
    names, start = "\n".join(ran), f"(?m)^{re.escape(prefix)}"
    teams = re.findall(start + r"(?:output|combine)\.threads_([0-9]+)$", names)
    combined = re.search(start + r"combine\.threads_[0-9]+$", names)
    runs = re.search(r"(?m)^([0-9]+) run\(s\) as expected$",
                     ran.get(prefix + "contention.threads_1024", ""))
    lock_free = "lock-free " if "runtime.imports" in ran else ""
    return ", ".join(clause for clause in [
        teams and f"a real team of {max(map(int, teams))} threads",
        (combined or re.search(start + r"partition\.", names)) and "each its static block",
        combined and f"one {lock_free}update each",
        runs and f"no lost update in {runs[1]} runs at 1024 threads"] if clause)


def verdict(cases, facts, toolchain):
    failed = sorted(name for name, (status, _) in cases.items() if status == "fail")
    for setup in ("runtime.library", "alt_runtime.loaded"):
        if setup in failed and "error" in facts.get(setup, {}):
            also = f"; {len(failed) - 1} other case(s) failed too" if len(failed) > 1 else ""
            not_run = sum(status == "notrun" for status, _ in cases.values())
            return (f"FAIL: {toolchain}: {setup}: {facts[setup]['error']}; "
                    f"{not_run} case(s) not run because of it{also}")
    runtime = facts.get("runtime.library", {}).get(
        "identity", "a runtime not identified (runtime.library did not run)")
    if failed:
        listed = ", ".join(failed[:5]) + (", ..." if len(failed) > 5 else "")
        return (f"FAIL: {toolchain}, on {runtime}: {len(failed)} of {len(cases)} case(s) "
                f"failed ({listed}); what each says: tests/README.md, When a case fails")
    passed = sum(status == "run" for status, _ in cases.values())
    if not passed:  # every case skipped: nothing was shown
        return f"FAIL: {toolchain}, on {runtime}: no case ran ({len(cases)} skipped or not run)"
    mine, other = shown(cases, ""), shown(cases, "alt_runtime.")
    line = f"PASS: {toolchain}, on {runtime}: {mine or f'{passed} case(s) passed'}"
    alt = facts.get("alt_runtime.loaded", {}).get("identity")
    return line + (f"; on {alt}: " + ("the same" if other == mine else other) if alt else "")


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--openmp", required=True)
    parser.add_argument("results", type=pathlib.Path)
    args = parser.parse_args(argv)
    junit, facts = args.results / "junit.xml", args.results / "facts.jsonl"
    if junit.exists():
        cases = {case.get("name"): (case.get("status"), case.findtext("system-out", ""))
                 for case in ElementTree.parse(junit).iter("testcase")}
        lines = facts.read_text(encoding="utf-8").splitlines() if facts.exists() else []
        facts = {record["case"]: record for record in map(json.loads, lines)}
        print("\n" + verdict(cases, facts, f"{args.compiler}, OpenMP {args.openmp}"))


if __name__ == "__main__":  # pragma: no cover (CTest runs it; the self-tests call main)
    main()
