#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Which OpenMP runtime a program ran on, as the runtime itself says.

    which_runtime.py [--expect IDENTITY] [--facts FILE --case NAME] -- COMMAND...

COMMAND runs a program linked with OpenMP, with LD_DEBUG=libs, OMP_DISPLAY_ENV=verbose
and KMP_VERSION=1 in its environment (the caller sets them: configuring, or expect_run
in a case). The loader then names the libgomp.so.1 whose initialiser it calls, and the
runtime behind that name reports itself: LLVM's libomp prints its version banner,
GNU libgomp its settings, GOMP_SPINCOUNT among them. The first line printed is the
runtime's identity, or the one reason the program did not run on a runtime: the
loader's own message when the library did not load. --expect: the identity configuring
found; another is a failure. --facts: append what was found, as a JSON line, for the
verdict. Exits 0 when the program ran on a runtime (the expected one), 1 when not.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys

DEBUG = re.compile(r"^ *[0-9]+:\t?(.*)$")


def identify(status, text, command):
    """(facts, None) for the runtime the output shows, or (None, reason)."""
    debug = []
    other = []
    for line in text.splitlines():
        match = DEBUG.match(line)
        (debug if match else other).append(match.group(1) if match else line)
    loaded = [line[len("calling init: "):] for line in debug
              if re.fullmatch(r"calling init: .*/libgomp\.so\.1", line)]
    tried = [line[len("  trying file="):] for line in debug if line.startswith("  trying file=")]
    started = any(line.startswith("transferring control: ") for line in debug)
    if status > 0 and not started and other:
        more = f" (and {len(other) - 1} more line(s) like it)" if len(other) > 1 else ""
        if "cannot open shared object file: No such file" in other[0]:
            return None, ("the loader finds no libgomp.so.1 on LD_LIBRARY_PATH or in the "
                          f"system's directories: {other[0]}")
        return None, f"the runtime does not load; the loader says: {other[0]}{more}"
    if not loaded:
        if status < 0:
            where = f"the last file the loader tried, {tried[-1]}" if tried else "its libraries"
            return None, (f"the program was killed by {signal.Signals(-status).name} while "
                          f"loading {where}: a truncated or damaged file?")
        return None, f"{command} loaded no libgomp.so.1: was it built without OpenMP?"
    path = loaded[-1]
    facts = {"path": path, "file": os.path.realpath(path)}
    joined = "\n".join(other)
    openmp = re.search(r"^ *_OPENMP ?= ?'([0-9]+)'", joined, re.M)
    llvm = re.search(r"^LLVM OMP build compiler: (.*)$", joined, re.M)
    if llvm:
        facts["runtime"] = "LLVM's libomp"
        facts["version"] = f"built by {llvm.group(1)}"
    elif re.search(r"^ *GOMP_SPINCOUNT = ", joined, re.M):
        facts["runtime"] = "GNU libgomp"
        facts["version"] = ""
    if "runtime" not in facts or not openmp:
        return None, (f"{path} printed neither LLVM's libomp's banner nor GNU libgomp's "
                      "settings, with the OpenMP version: it is some other runtime")
    facts["openmp"] = openmp.group(1)
    if status != 0:
        return None, f"the program on {describe(facts)} ended with status {status}"
    return facts, None


def describe(facts):
    """One line: what the runtime is, its version and where it was loaded from."""
    version = ", ".join(v for v in (facts["version"], f"_OPENMP {facts['openmp']}") if v)
    where = facts["path"]
    if facts["file"] != where:
        where += f" = {facts['file']}"
    return f"{facts['runtime']} ({version}) at {where}"


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--expect")
    parser.add_argument("--facts")
    parser.add_argument("--case")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args(argv)
    expect, facts_file, case, command = args.expect, args.facts, args.case, args.command
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL, check=False)
    facts, reason = identify(run.returncode, run.stdout.decode(errors="replace"), command[-1])
    if facts and expect is not None and describe(facts) != expect:
        reason = (f"the program ran on {describe(facts)}, but configuring found "
                  f"{expect or 'none'}: has LD_LIBRARY_PATH changed since? Configure again in "
                  "this shell")
    print(reason or describe(facts))
    if facts_file:
        record = {"case": case, **(facts or {})}
        record["identity" if not reason else "error"] = reason or describe(facts)
        os.makedirs(os.path.dirname(facts_file), exist_ok=True)
        with open(facts_file, "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")
    return 1 if reason else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
