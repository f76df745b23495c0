#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Which OpenMP runtime a program ran on, as the runtime itself says.

    which_runtime.py [--expect IDENTITY] [--facts FILE --case NAME] -- COMMAND...

COMMAND runs a program linked with OpenMP, with LD_DEBUG=libs, OMP_DISPLAY_ENV=verbose
and KMP_VERSION=1 set by the caller (configuring, or expect_run in a case): the loader
names the libgomp.so.1 whose initialiser it calls, and the runtime behind that name
reports itself, LLVM's libomp with its version banner, GNU libgomp with its settings
(GOMP_SPINCOUNT among them). Prints the runtime's identity, or the one reason the program
did not run on one: the loader's own message when the library did not load. --expect:
the identity configuring found; another is a failure. --facts: append what was found, as
a JSON line, for verdict.py. Exits 0 when the program ran on the expected runtime, else 1.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys


def identify(status, text, command):
    """(facts, None) for the runtime the output shows, or (None, reason)."""
    lines = [(re.fullmatch(r" *[0-9]+:\t?(.*)", line), line) for line in text.splitlines()]
    debug = "\n".join(match[1] for match, _ in lines if match)  # the loader's, LD_DEBUG
    other = [line for match, line in lines if not match]
    loaded = re.findall(r"^calling init: (.*/libgomp\.so\.1)$", debug, re.M)
    tried = re.findall(r"^  trying file=(.*)$", debug, re.M)
    if status > 0 and other and not re.search(r"^transferring control: ", debug, re.M):
        if "cannot open shared object file: No such file" in other[0]:
            return None, ("the loader finds no libgomp.so.1 on LD_LIBRARY_PATH or in the "
                          f"system's directories: {other[0]}")
        more = f" (and {len(other) - 1} more line(s) like it)" if len(other) > 1 else ""
        return None, f"the runtime does not load; the loader says: {other[0]}{more}"
    if not loaded and status < 0:
        where = f"the last file the loader tried, {tried[-1]}" if tried else "its libraries"
        return None, (f"the program was killed by {signal.Signals(-status).name} while "
                      f"loading {where}: a truncated or damaged file?")
    if not loaded:
        return None, f"{command} loaded no libgomp.so.1: was it built without OpenMP?"
    said = "\n".join(other)
    openmp = re.search(r"^ *_OPENMP ?= ?'([0-9]+)'", said, re.M)
    llvm = re.search(r"^LLVM OMP build compiler: (.*)$", said, re.M)
    if not openmp or not (llvm or re.search(r"^ *GOMP_SPINCOUNT = ", said, re.M)):
        return None, (f"{loaded[-1]} printed neither LLVM's libomp's banner nor GNU libgomp's "
                      "settings, with the OpenMP version: it is some other runtime")
    facts = {"path": loaded[-1], "file": os.path.realpath(loaded[-1]),
             "runtime": "LLVM's libomp" if llvm else "GNU libgomp",
             "version": f"built by {llvm[1]}" if llvm else "", "openmp": openmp[1]}
    if status != 0:
        return None, f"the program on {describe(facts)} ended with status {status}"
    return facts, None


def describe(facts):
    """What the runtime is, its version, the path the loader used and the file it leads to."""
    version = ", ".join(v for v in (facts["version"], f"_OPENMP {facts['openmp']}") if v)
    file = "" if facts["file"] == facts["path"] else f" = {facts['file']}"
    return f"{facts['runtime']} ({version}) at {facts['path']}{file}"


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__)
    for option in ("--expect", "--facts", "--case"):
        parser.add_argument(option)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args(argv)
    run = subprocess.run(args.command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL, check=False)
    facts, reason = identify(run.returncode, run.stdout.decode(errors="replace"), args.command[-1])
    found = facts and describe(facts)
    if found and args.expect is not None and found != args.expect:
        reason = (f"the program ran on {found}, but configuring found {args.expect or 'none'}: "
                  "has LD_LIBRARY_PATH changed since? Configure again in this shell")
    print(reason or found)
    if args.facts:
        record = {"case": args.case, **(facts or {}),
                  "error" if reason else "identity": reason or found}
        os.makedirs(os.path.dirname(args.facts), exist_ok=True)
        with open(args.facts, "a", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")
    return 1 if reason else 0


if __name__ == "__main__":  # pragma: no cover (the cases run it; the self-tests call main)
    sys.exit(main(sys.argv[1:]))
